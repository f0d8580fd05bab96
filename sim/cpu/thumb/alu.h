// Arithmetic of the instruction set, as the architecture defines it: add
// with carry and its flags, the five shifts with their carry out, the
// expansion of 12-bit modified immediates, and the shift field decoding.
// Shared by the handlers of every encoding group.
#pragma once

#include <cstdint>

namespace sim::thumb {

struct AddResult {
  std::uint32_t value;
  std::uint8_t carry;
  std::uint8_t overflow;
};

inline AddResult addWithCarry(std::uint32_t x, std::uint32_t y, unsigned carryIn) {
  const std::uint64_t unsignedSum = std::uint64_t{x} + y + carryIn;
  const std::int64_t signedSum =
      std::int64_t{static_cast<std::int32_t>(x)} + static_cast<std::int32_t>(y) + static_cast<std::int64_t>(carryIn);
  const auto value = static_cast<std::uint32_t>(unsignedSum);
  return {value, static_cast<std::uint8_t>(unsignedSum >> 32),
          static_cast<std::uint8_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(value)) != signedSum)};
}

enum ShiftType : std::uint8_t { kLsl = 0, kLsr = 1, kAsr = 2, kRor = 3, kRrx = 4 };

struct ShiftResult {
  std::uint32_t value;
  std::uint8_t carry;
};

// Shift_C: `amount` may be 0 (the value and carry pass unchanged) or larger
// than 32 (register-controlled shifts).
inline ShiftResult shiftC(std::uint32_t x, ShiftType type, unsigned amount, unsigned carryIn) {
  if (type == kRrx) {
    return {(x >> 1) | (static_cast<std::uint32_t>(carryIn) << 31), static_cast<std::uint8_t>(x & 1u)};
  }
  if (amount == 0) return {x, static_cast<std::uint8_t>(carryIn)};
  switch (type) {
    case kLsl:
      if (amount < 32) return {x << amount, static_cast<std::uint8_t>((x >> (32 - amount)) & 1u)};
      return {0, static_cast<std::uint8_t>(amount == 32 ? (x & 1u) : 0u)};
    case kLsr:
      if (amount < 32) return {x >> amount, static_cast<std::uint8_t>((x >> (amount - 1)) & 1u)};
      return {0, static_cast<std::uint8_t>(amount == 32 ? (x >> 31) : 0u)};
    case kAsr: {
      const auto s = static_cast<std::int32_t>(x);
      if (amount < 32) {
        return {static_cast<std::uint32_t>(s >> amount), static_cast<std::uint8_t>((x >> (amount - 1)) & 1u)};
      }
      return {static_cast<std::uint32_t>(s >> 31), static_cast<std::uint8_t>(x >> 31)};
    }
    case kRor: {
      const unsigned m = amount & 31u;
      const std::uint32_t r = m == 0 ? x : (x >> m) | (x << (32 - m));
      return {r, static_cast<std::uint8_t>(r >> 31)};
    }
    default:
      return {x, static_cast<std::uint8_t>(carryIn)};
  }
}

inline std::uint32_t shift(std::uint32_t x, ShiftType type, unsigned amount, unsigned carryIn) {
  return shiftC(x, type, amount, carryIn).value;
}

// DecodeImmShift: the 2-bit type and 5-bit amount of an immediate shift.
struct ImmShift {
  ShiftType type;
  std::uint8_t amount;
};
inline ImmShift decodeImmShift(unsigned type, unsigned imm5) {
  switch (type & 3u) {
    case 0:
      return {kLsl, static_cast<std::uint8_t>(imm5)};
    case 1:
      return {kLsr, static_cast<std::uint8_t>(imm5 == 0 ? 32 : imm5)};
    case 2:
      return {kAsr, static_cast<std::uint8_t>(imm5 == 0 ? 32 : imm5)};
    default:
      return imm5 == 0 ? ImmShift{kRrx, 1} : ImmShift{kRor, static_cast<std::uint8_t>(imm5)};
  }
}

// ThumbExpandImm_C on i:imm3:imm8. `carryKept` is set when the carry out is
// the carry in (the forms without a rotation).
struct ExpandedImm {
  std::uint32_t value;
  std::uint8_t carry;
  bool carryKept;
  bool valid;  // false: unpredictable (a zero byte in a repeated pattern)
};
inline ExpandedImm thumbExpandImm(unsigned imm12) {
  const std::uint32_t imm8 = imm12 & 0xFFu;
  if ((imm12 >> 10) == 0) {
    switch ((imm12 >> 8) & 3u) {
      case 0:
        return {imm8, 0, true, true};
      case 1:
        return {imm8 << 16 | imm8, 0, true, imm8 != 0};
      case 2:
        return {imm8 << 24 | imm8 << 8, 0, true, imm8 != 0};
      default:
        return {imm8 << 24 | imm8 << 16 | imm8 << 8 | imm8, 0, true, imm8 != 0};
    }
  }
  const std::uint32_t unrotated = 0x80u | (imm12 & 0x7Fu);
  const unsigned rotation = (imm12 >> 7) & 31u;
  const std::uint32_t value = (unrotated >> rotation) | (unrotated << (32 - rotation));
  return {value, static_cast<std::uint8_t>(value >> 31), false, true};
}

}  // namespace sim::thumb
