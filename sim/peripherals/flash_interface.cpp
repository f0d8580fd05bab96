#include "flash_interface.h"

#include <cstddef>

#include "../../platform/stm32l1_registers.h"

namespace sim {

namespace {
constexpr std::uint32_t kACR = offsetof(FLASH_TypeDef, ACR);
constexpr std::uint32_t kPECR = offsetof(FLASH_TypeDef, PECR);
// PDKEYR .. WRPR: stored as written.
constexpr std::uint32_t kFirstOther = offsetof(FLASH_TypeDef, PDKEYR);
constexpr std::uint32_t kLastOther = offsetof(FLASH_TypeDef, WRPR);
}  // namespace

unsigned FlashInterface::waitStates() const { return (acr_ & FLASH_ACR_LATENCY) != 0 ? 1 : 0; }

std::uint32_t FlashInterface::read(std::uint32_t offset, unsigned width) {
  std::uint32_t slot = offset & ~3u;
  std::uint32_t value = 0;
  if (slot == kACR) {
    value = acr_;
  } else if (slot == kPECR) {
    value = pecr_;
  } else if (slot >= kFirstOther && slot <= kLastOther) {
    value = others_[(slot - kFirstOther) / 4];
  }
  return slotPart(value, offset, width);
}

void FlashInterface::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  std::uint32_t slot = offset & ~3u;
  if (slot == kACR) {
    std::uint32_t v = slotMerge(acr_, offset, width, value);
    std::uint32_t next = v & (FLASH_ACR_ACC64 | FLASH_ACR_SLEEP_PD | FLASH_ACR_RUN_PD);
    // One wait state and prefetch exist only with 64-bit access: while ACC64 is
    // off (before this write, or cleared by it) those bits stay 0.
    if ((acr_ & FLASH_ACR_ACC64) && (v & FLASH_ACR_ACC64)) next |= v & (FLASH_ACR_LATENCY | FLASH_ACR_PRFTEN);
    acr_ = next;
    changed_();
  } else if (slot == kPECR) {
    pecr_ = slotMerge(pecr_, offset, width, value);
  } else if (slot >= kFirstOther && slot <= kLastOther) {
    std::uint32_t& reg = others_[(slot - kFirstOther) / 4];
    reg = slotMerge(reg, offset, width, value);
  }
}

}  // namespace sim
