// The operations on registers besides plain arithmetic and logic: sign and
// zero extension, byte and bit reversal, the leading-zero count, the 12- and
// 16-bit plain immediates (ADDW, SUBW, ADR, MOVW, MOVT), saturation, bit
// fields, shifts by a register, multiplies and divides.
//
// Fields of the decoded form here: a = Rd (RdLo for the long multiplies),
// b = Rn, c = Rm, d = Ra (the addend) or RdHi; e, f and imm as each handler
// says. Every handler reads its operands before it writes a register, so a
// destination may be one of its sources.
#include <bit>
#include <cstdint>

#include "alu.h"
#include "interpreter.h"

namespace sim::thumb {

namespace {

// SP or PC, where most of these encodings forbid them.
std::uint32_t signExtend16(std::uint32_t x) { return static_cast<std::uint32_t>(static_cast<std::int16_t>(x)); }
std::uint32_t signExtend8(std::uint32_t x) { return static_cast<std::uint32_t>(static_cast<std::int8_t>(x)); }

// ---- extends: Rm rotated right by e (0, 8, 16 or 24), then extended ----

std::uint32_t rotatedM(const Interpreter& c, const Op& op) { return std::rotr(c.regs[op.c], op.e); }

void sxth(Interpreter& c, const Op& op) { c.put(op.a, signExtend16(rotatedM(c, op))); }
void sxtb(Interpreter& c, const Op& op) { c.put(op.a, signExtend8(rotatedM(c, op))); }
void uxth(Interpreter& c, const Op& op) { c.put(op.a, rotatedM(c, op) & 0xFFFFu); }
void uxtb(Interpreter& c, const Op& op) { c.put(op.a, rotatedM(c, op) & 0xFFu); }

// ---- byte and bit order, leading zeros (Rm to Rd) ----

std::uint32_t reverseBits(std::uint32_t x) {
  x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
  x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
  x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
  return __builtin_bswap32(x);
}

void rev(Interpreter& c, const Op& op) { c.put(op.a, __builtin_bswap32(c.regs[op.c])); }
void rev16(Interpreter& c, const Op& op) {
  const std::uint32_t x = c.regs[op.c];
  c.put(op.a, ((x >> 8) & 0x00FF00FFu) | ((x << 8) & 0xFF00FF00u));
}
void revsh(Interpreter& c, const Op& op) {
  const std::uint32_t x = c.regs[op.c];
  c.put(op.a, signExtend16(((x & 0xFFu) << 8) | ((x >> 8) & 0xFFu)));
}
void rbit(Interpreter& c, const Op& op) { c.put(op.a, reverseBits(c.regs[op.c])); }
void clz(Interpreter& c, const Op& op) { c.put(op.a, static_cast<std::uint32_t>(std::countl_zero(c.regs[op.c]))); }

// ---- plain immediates: imm is the zero-extended immediate ----

void addImm12(Interpreter& c, const Op& op) { c.put(op.a, c.regs[op.b] + op.imm); }
void subImm12(Interpreter& c, const Op& op) { c.put(op.a, c.regs[op.b] - op.imm); }
// ADR: from the instruction's address + 4 rounded down to a word
// (addressFromPc below, shared with the 16-bit form).
void adrSub(Interpreter& c, const Op& op) { c.put(op.a, (c.regs[15] & ~3u) - op.imm); }
void movw(Interpreter& c, const Op& op) { c.put(op.a, op.imm); }
// imm is already in the top halfword.
void movt(Interpreter& c, const Op& op) { c.put(op.a, (c.regs[op.a] & 0xFFFFu) | op.imm); }

// ---- saturation: Rn shifted by e (left, or arithmetic right with kAsr),
// clamped to [-imm - 1, imm] (signed) or [0, imm] (unsigned); clamping sets Q.

template <bool kAsr>
std::int32_t saturationOperand(const Interpreter& c, const Op& op) {
  const std::uint32_t x = c.regs[op.b];
  if constexpr (kAsr) {
    return static_cast<std::int32_t>(x) >> op.e;
  } else {
    return static_cast<std::int32_t>(x << op.e);
  }
}

template <bool kAsr>
void ssat(Interpreter& c, const Op& op) {
  const std::int64_t value = saturationOperand<kAsr>(c, op);
  const std::int64_t high = op.imm;
  const std::int64_t low = -high - 1;
  if (value > high) {
    c.put(op.a, static_cast<std::uint32_t>(high));
    c.flagQ = 1;
  } else if (value < low) {
    c.put(op.a, static_cast<std::uint32_t>(low));
    c.flagQ = 1;
  } else {
    c.put(op.a, static_cast<std::uint32_t>(value));
  }
}

template <bool kAsr>
void usat(Interpreter& c, const Op& op) {
  const std::int64_t value = saturationOperand<kAsr>(c, op);
  if (value > std::int64_t{op.imm}) {
    c.put(op.a, op.imm);
    c.flagQ = 1;
  } else if (value < 0) {
    c.put(op.a, 0);
    c.flagQ = 1;
  } else {
    c.put(op.a, static_cast<std::uint32_t>(value));
  }
}

// ---- bit fields ----

// SBFX: the field's top bit moved to bit 31 (left by e), then back down
// with its sign (arithmetic right by f).
void sbfx(Interpreter& c, const Op& op) {
  c.put(op.a, static_cast<std::uint32_t>(static_cast<std::int32_t>(c.regs[op.b] << op.e) >> op.f));
}
// UBFX: right by e, then the width's mask in imm.
void ubfx(Interpreter& c, const Op& op) { c.put(op.a, (c.regs[op.b] >> op.e) & op.imm); }
// BFI: Rn's low bits moved up by e into the field whose mask is imm.
void bfi(Interpreter& c, const Op& op) { c.put(op.a, (c.regs[op.a] & ~op.imm) | ((c.regs[op.b] << op.e) & op.imm)); }
void bfc(Interpreter& c, const Op& op) { c.put(op.a, c.regs[op.a] & ~op.imm); }

// ---- shifts by the low byte of Rm ----

template <ShiftType kType, bool kSetFlags>
void shiftByRegister(Interpreter& c, const Op& op) {
  const unsigned amount = c.regs[op.c] & 0xFFu;
  if constexpr (kSetFlags) {
    const ShiftResult r = shiftC(c.regs[op.b], kType, amount, c.flagC);
    c.put(op.a, r.value);
    c.setNZ(r.value);
    c.flagC = r.carry;
  } else {
    c.put(op.a, shift(c.regs[op.b], kType, amount, 0));
  }
}

// ---- multiplies and divides ----

void mul(Interpreter& c, const Op& op) { c.put(op.a, c.regs[op.b] * c.regs[op.c]); }
void mla(Interpreter& c, const Op& op) { c.put(op.a, c.regs[op.d] + c.regs[op.b] * c.regs[op.c]); }
void mls(Interpreter& c, const Op& op) { c.put(op.a, c.regs[op.d] - c.regs[op.b] * c.regs[op.c]); }

void putLong(Interpreter& c, const Op& op, std::uint64_t value) {
  c.put(op.a, static_cast<std::uint32_t>(value));
  c.put(op.d, static_cast<std::uint32_t>(value >> 32));
}
std::uint64_t signedProduct(const Interpreter& c, const Op& op) {
  return static_cast<std::uint64_t>(std::int64_t{static_cast<std::int32_t>(c.regs[op.b])} *
                                    static_cast<std::int32_t>(c.regs[op.c]));
}
std::uint64_t unsignedProduct(const Interpreter& c, const Op& op) { return std::uint64_t{c.regs[op.b]} * c.regs[op.c]; }
std::uint64_t accumulator(const Interpreter& c, const Op& op) {
  return std::uint64_t{c.regs[op.d]} << 32 | c.regs[op.a];
}

void smull(Interpreter& c, const Op& op) { putLong(c, op, signedProduct(c, op)); }
void umull(Interpreter& c, const Op& op) { putLong(c, op, unsignedProduct(c, op)); }
void smlal(Interpreter& c, const Op& op) { putLong(c, op, accumulator(c, op) + signedProduct(c, op)); }
void umlal(Interpreter& c, const Op& op) { putLong(c, op, accumulator(c, op) + unsignedProduct(c, op)); }

// Division by zero gives 0: the board leaves the divide-by-zero trap off.
// The one signed quotient that does not fit (-2^31 / -1) wraps to -2^31.
void sdiv(Interpreter& c, const Op& op) {
  const auto n = static_cast<std::int32_t>(c.regs[op.b]);
  const auto m = static_cast<std::int32_t>(c.regs[op.c]);
  std::uint32_t q;
  if (m == 0) {
    q = 0;
  } else if (m == -1) {
    q = 0u - static_cast<std::uint32_t>(n);
  } else {
    q = static_cast<std::uint32_t>(n / m);
  }
  c.put(op.a, q);
}
void udiv(Interpreter& c, const Op& op) {
  const std::uint32_t m = c.regs[op.c];
  c.put(op.a, m == 0 ? 0 : c.regs[op.b] / m);
}

}  // namespace

// 16-bit SXTH, SXTB, UXTH, UXTB (1011 0010 kind Rm Rd) and REV, REV16,
// REVSH (1011 1010 kind Rm Rd; kind 10 is undefined).
bool decode16Misc(std::uint16_t insn, Op& op) {
  op.a = static_cast<std::uint8_t>(insn & 7u);
  op.c = static_cast<std::uint8_t>((insn >> 3) & 7u);
  op.e = 0;
  const unsigned kind = (insn >> 6) & 3u;
  switch ((insn >> 8) & 0xFu) {
    case 0x2: {
      static constexpr Handler kExtends[4] = {&sxth, &sxtb, &uxth, &uxtb};
      op.run = kExtends[kind];
      return true;
    }
    case 0xA: {
      static constexpr Handler kReversals[4] = {&rev, &rev16, nullptr, &revsh};
      op.run = kReversals[kind];
      return op.run != nullptr;
    }
    default:
      return false;
  }
}

// 11110 i 1 kind(5) Rn | 0 imm3 Rd imm8.
bool decode32PlainImmediate(std::uint32_t insn, Op& op) {
  const unsigned kind = (insn >> 20) & 0x1Fu;
  const unsigned n = (insn >> 16) & 0xFu;
  const unsigned d = (insn >> 8) & 0xFu;
  const unsigned i = (insn >> 26) & 1u;
  const unsigned imm3 = (insn >> 12) & 7u;
  const std::uint32_t imm12 = i << 11 | imm3 << 8 | (insn & 0xFFu);
  op.a = static_cast<std::uint8_t>(d);
  op.b = static_cast<std::uint8_t>(n);
  switch (kind) {
    case 0x00:    // ADDW, ADR
    case 0x0A: {  // SUBW, ADR
      const bool subtract = kind == 0x0A;
      op.imm = imm12;
      if (n == 15u) {
        if (badReg(d)) return false;
        op.run = subtract ? &adrSub : &addressFromPc;
      } else {
        // From SP, the result may go to SP; from any other register, not.
        if (n == 13u ? d == 15u : badReg(d)) return false;
        op.run = subtract ? &subImm12 : &addImm12;
      }
      return true;
    }
    case 0x04:    // MOVW
    case 0x0C: {  // MOVT
      if (badReg(d)) return false;
      const std::uint32_t imm16 = n << 12 | imm12;
      op.imm = kind == 0x04 ? imm16 : imm16 << 16;
      op.run = kind == 0x04 ? &movw : &movt;
      return true;
    }
    default:
      break;
  }

  // Saturation and bit fields: bit 26 and bit 5 are zero in all of them.
  if (i != 0u || (insn & 0x20u) != 0u || badReg(d)) return false;
  const unsigned imm5 = imm3 << 2 | ((insn >> 6) & 3u);  // shift amount, or the field's lowest bit
  const unsigned low5 = insn & 0x1Fu;                    // saturation bits, width - 1, or highest bit
  switch (kind) {
    case 0x10:    // SSAT, LSL
    case 0x12:    // SSAT, ASR
    case 0x18:    // USAT, LSL
    case 0x1A: {  // USAT, ASR
      const bool asr = (kind & 2u) != 0;
      const bool isSigned = kind < 0x18u;
      if (badReg(n)) return false;
      if (asr && imm5 == 0) return false;  // the two-halfword forms, not on this core
      op.e = static_cast<std::uint8_t>(imm5);
      // The largest result: signed to low5 + 1 bits, unsigned to low5 bits.
      op.imm = (1u << low5) - 1u;
      if (isSigned) {
        op.run = asr ? &ssat<true> : &ssat<false>;
      } else {
        op.run = asr ? &usat<true> : &usat<false>;
      }
      return true;
    }
    case 0x14:    // SBFX
    case 0x1C: {  // UBFX
      if (badReg(n) || imm5 + low5 > 31u) return false;
      if (kind == 0x14) {
        op.e = static_cast<std::uint8_t>(31u - (imm5 + low5));
        op.f = static_cast<std::uint8_t>(31u - low5);
        op.run = &sbfx;
      } else {
        op.e = static_cast<std::uint8_t>(imm5);
        op.imm = low5 == 31u ? ~0u : (1u << (low5 + 1u)) - 1u;
        op.run = &ubfx;
      }
      return true;
    }
    case 0x16: {  // BFI, or BFC with Rn = PC
      if (low5 < imm5 || n == 13u) return false;
      const unsigned width = low5 - imm5 + 1u;
      op.imm = (width == 32u ? ~0u : (1u << width) - 1u) << imm5;
      op.e = static_cast<std::uint8_t>(imm5);
      op.run = n == 15u ? &bfc : &bfi;
      return true;
    }
    default:
      return false;
  }
}

// 11111010 kind(4) Rn | 1111 Rd kind2(4) Rm: shifts by a register, extends,
// REV/REV16/RBIT/REVSH/CLZ. The extends that add a register, the parallel
// additions and the saturating arithmetic belong to the DSP extension,
// which this core lacks.
bool decode32Register(std::uint32_t insn, Op& op) {
  if (((insn >> 12) & 0xFu) != 0xFu) return false;
  const unsigned kind = (insn >> 20) & 0xFu;
  const unsigned kind2 = (insn >> 4) & 0xFu;
  const unsigned n = (insn >> 16) & 0xFu;
  const unsigned d = (insn >> 8) & 0xFu;
  const unsigned m = insn & 0xFu;
  if (badReg(d) || badReg(m)) return false;
  op.a = static_cast<std::uint8_t>(d);
  op.b = static_cast<std::uint8_t>(n);
  op.c = static_cast<std::uint8_t>(m);
  if (kind < 8u && kind2 == 0u) {  // LSL, LSR, ASR, ROR (kind = type:S)
    if (badReg(n)) return false;
    static constexpr Handler kShifts[8] = {
        &shiftByRegister<kLsl, false>, &shiftByRegister<kLsl, true>,  &shiftByRegister<kLsr, false>,
        &shiftByRegister<kLsr, true>,  &shiftByRegister<kAsr, false>, &shiftByRegister<kAsr, true>,
        &shiftByRegister<kRor, false>, &shiftByRegister<kRor, true>,
    };
    op.run = kShifts[kind];
    return true;
  }
  if (kind < 8u && (kind2 & 8u) != 0u) {  // extends, rotation in bits 5:4
    if (n != 15u || (kind2 & 4u) != 0u) return false;
    op.e = static_cast<std::uint8_t>((kind2 & 3u) * 8u);
    switch (kind) {
      case 0:
        op.run = &sxth;
        return true;
      case 1:
        op.run = &uxth;
        return true;
      case 4:
        op.run = &sxtb;
        return true;
      case 5:
        op.run = &uxtb;
        return true;
      default:
        return false;  // the two-halfword extends
    }
  }
  if ((kind & 0xCu) == 8u && (kind2 & 0xCu) == 8u) {  // Rm is given twice and must match
    if (n != m) return false;
    switch ((kind & 3u) << 2 | (kind2 & 3u)) {
      case 0x4:
        op.run = &rev;
        return true;
      case 0x5:
        op.run = &rev16;
        return true;
      case 0x6:
        op.run = &rbit;
        return true;
      case 0x7:
        op.run = &revsh;
        return true;
      case 0xC:
        op.run = &clz;
        return true;
      default:
        return false;
    }
  }
  return false;
}

// 11111011 0 kind(3) Rn | Ra Rd 00 kind2(2) Rm: MUL, MLA, MLS;
// 11111011 1 kind(3) Rn | RdLo/Ra RdHi/Rd kind2(4) Rm: the long multiplies
// and the divides. The halfword multiplies and the rest are DSP.
bool decode32Multiply(std::uint32_t insn, Op& op) {
  const unsigned kind = (insn >> 20) & 7u;
  const unsigned kind2 = (insn >> 4) & 0xFu;
  const unsigned n = (insn >> 16) & 0xFu;
  const unsigned high = (insn >> 12) & 0xFu;  // Ra or RdLo
  const unsigned d = (insn >> 8) & 0xFu;      // Rd or RdHi
  const unsigned m = insn & 0xFu;
  if (badReg(d) || badReg(n) || badReg(m)) return false;
  op.b = static_cast<std::uint8_t>(n);
  op.c = static_cast<std::uint8_t>(m);
  if ((insn & (1u << 23)) == 0u) {
    if (kind != 0u || kind2 > 1u) return false;
    op.a = static_cast<std::uint8_t>(d);
    op.d = static_cast<std::uint8_t>(high);
    if (kind2 == 0u && high == 15u) {
      op.run = &mul;
      return true;
    }
    if (badReg(high)) return false;
    op.run = kind2 == 0u ? &mla : &mls;
    return true;
  }
  if (kind == 1u || kind == 3u) {  // SDIV, UDIV: bits 15:12 all ones
    if (kind2 != 0xFu || high != 15u) return false;
    op.a = static_cast<std::uint8_t>(d);
    op.run = kind == 1u ? &sdiv : &udiv;
    return true;
  }
  if (kind2 != 0u || badReg(high) || high == d) return false;
  op.a = static_cast<std::uint8_t>(high);
  op.d = static_cast<std::uint8_t>(d);
  switch (kind) {
    case 0:
      op.run = &smull;
      return true;
    case 2:
      op.run = &umull;
      return true;
    case 4:
      op.run = &smlal;
      return true;
    case 6:
      op.run = &umlal;
      return true;
    default:
      return false;
  }
}

void addressFromPc(Interpreter& c, const Op& op) { c.put(op.a, (c.regs[15] & ~3u) + op.imm); }

}  // namespace sim::thumb
