#include "nvic_registers.h"

#include <cstddef>

#include "../../platform/stm32l1_registers.h"

namespace sim {

namespace {
constexpr std::uint32_t kISER = offsetof(NVIC_TypeDef, ISER);
constexpr std::uint32_t kICER = offsetof(NVIC_TypeDef, ICER);
constexpr std::uint32_t kISPR = offsetof(NVIC_TypeDef, ISPR);
constexpr std::uint32_t kICPR = offsetof(NVIC_TypeDef, ICPR);
constexpr std::uint32_t kIABR = offsetof(NVIC_TypeDef, IABR);
constexpr std::uint32_t kIP = offsetof(NVIC_TypeDef, IP);
constexpr std::uint32_t kIPSize = sizeof(NVIC_TypeDef::IP);
constexpr std::uint32_t kBitWords = 8;  // each bit register set: 8 words, 256 lines
constexpr std::uint32_t kLines = InterruptController::kIrqLines;

// Which bit register set `offset` falls in, and the word within it; false for
// the reserved space between the sets.
bool bitRegister(std::uint32_t offset, std::uint32_t& set, unsigned& word) {
  for (std::uint32_t base : {kISER, kICER, kISPR, kICPR, kIABR}) {
    if (offset >= base && offset < base + 4 * kBitWords) {
      set = base;
      word = (offset - base) / 4;
      return true;
    }
  }
  return false;
}
}  // namespace

template <typename State>
std::uint32_t NvicRegisters::lineBits(unsigned word, State state) const {
  std::uint32_t value = 0;
  for (unsigned b = 0; b < 32; ++b) {
    unsigned line = word * 32 + b;
    if (line < kLines && state(InterruptController::irq(static_cast<int>(line)))) value |= 1u << b;
  }
  return value;
}

std::uint32_t NvicRegisters::read(std::uint32_t offset, unsigned width) {
  if (offset >= kIP && offset < kIP + kIPSize) {
    std::uint32_t value = 0;
    for (unsigned k = 0; k < width; ++k) {
      std::uint32_t line = offset - kIP + k;
      if (line < kLines)
        value |= std::uint32_t{engine_.priorityByte(InterruptController::irq(static_cast<int>(line)))} << (8 * k);
    }
    return value;
  }
  if (width != 4) busError("NVIC register read of width " + std::to_string(width), NVIC_BASE + offset);
  std::uint32_t set = 0;
  unsigned word = 0;
  if (!bitRegister(offset, set, word)) return 0;
  if (set == kISER || set == kICER) return lineBits(word, [this](int e) { return engine_.isEnabled(e); });
  if (set == kISPR || set == kICPR) return lineBits(word, [this](int e) { return engine_.isPending(e); });
  return lineBits(word, [this](int e) { return engine_.isActive(e); });
}

void NvicRegisters::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (offset >= kIP && offset < kIP + kIPSize) {
    for (unsigned k = 0; k < width; ++k) {
      std::uint32_t line = offset - kIP + k;
      if (line < kLines) {
        engine_.setPriorityByte(InterruptController::irq(static_cast<int>(line)),
                                static_cast<std::uint8_t>(value >> (8 * k)));
      }
    }
    return;
  }
  if (width != 4) busError("NVIC register write of width " + std::to_string(width), NVIC_BASE + offset);
  std::uint32_t set = 0;
  unsigned word = 0;
  if (!bitRegister(offset, set, word) || set == kIABR) return;  // active bits are read-only
  for (unsigned b = 0; b < 32; ++b) {
    unsigned line = word * 32 + b;
    if ((value & (1u << b)) == 0 || line >= kLines) continue;
    int exc = InterruptController::irq(static_cast<int>(line));
    if (set == kISER) engine_.setEnabled(exc, true);
    if (set == kICER) engine_.setEnabled(exc, false);
    if (set == kISPR) engine_.setPending(exc);
    if (set == kICPR) engine_.clearPending(exc);  // stays pending while its source asserts it
  }
}

void SoftwareTriggerRegister::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (offset != 0 || width != 4) {
    busError("NVIC STIR write of width " + std::to_string(width), NVIC_BASE + offsetof(NVIC_TypeDef, STIR) + offset);
  }
  if (value < kLines) engine_.setPending(InterruptController::irq(static_cast<int>(value)));
}

}  // namespace sim
