#include "i2c_peripheral.h"

#include <cstddef>

#include "../../platform/stm32l1_registers.h"

namespace sim {

namespace {
constexpr std::uint32_t kCR1 = offsetof(I2C_TypeDef, CR1);
constexpr std::uint32_t kSR1 = offsetof(I2C_TypeDef, SR1);
constexpr std::uint32_t kSR2 = offsetof(I2C_TypeDef, SR2);
constexpr std::uint32_t kCCR = offsetof(I2C_TypeDef, CCR);
constexpr std::uint32_t kTRISE = offsetof(I2C_TypeDef, TRISE);
// Reset values, CR1 (0x00) .. TRISE (0x20).
constexpr std::array<std::uint16_t, 9> kResetValues{0, 0, 0, 0, 0, 0, 0, 0, 0x0002};
}  // namespace

std::uint32_t I2cPeripheral::read(std::uint32_t offset, unsigned width) {
  std::uint32_t slot = offset & ~3u;
  if (slot > kTRISE) return 0;  // reserved
  // Each 16-bit register sits in the low half of its 32-bit slot; the upper half reads 0.
  return slotPart(regs_[slot / 4], offset, width);
}

void I2cPeripheral::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  std::uint32_t slot = offset & ~3u;
  if (slot > kTRISE) return;
  // Flags: the bus state machine sets and clears them; nothing to store yet.
  if (slot == kSR1 || slot == kSR2) return;
  // The clock control and rise time registers take writes only while the
  // peripheral is disabled.
  if ((slot == kCCR || slot == kTRISE) && (regs_[kCR1 / 4] & I2C_CR1_PE)) return;
  std::uint16_t& reg = regs_[slot / 4];
  auto merged = static_cast<std::uint16_t>(slotMerge(reg, offset, width, value) & 0xFFFFu);
  if (slot == kTRISE) merged &= I2C_TRISE_TRISE;
  reg = merged;
}

void I2cPeripheral::reset() { regs_ = kResetValues; }

}  // namespace sim
