#include "flash_interface.h"

namespace sim {

namespace {
constexpr std::uint32_t kACR = 0x00, kPECR = 0x04, kFirstOther = 0x08, kLastOther = 0x20;
constexpr std::uint32_t kLatency = 1u << 0;
constexpr std::uint32_t kPrften = 1u << 1;
constexpr std::uint32_t kAcc64 = 1u << 2;
constexpr std::uint32_t kSleepPd = 1u << 3;
constexpr std::uint32_t kRunPd = 1u << 4;
}  // namespace

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
    std::uint32_t next = v & (kAcc64 | kSleepPd | kRunPd);
    // One wait state and prefetch exist only with 64-bit access: while ACC64 is
    // off (before this write, or cleared by it) those bits stay 0.
    if ((acr_ & kAcc64) && (v & kAcc64)) next |= v & (kLatency | kPrften);
    acr_ = next;
  } else if (slot == kPECR) {
    pecr_ = slotMerge(pecr_, offset, width, value);
  } else if (slot >= kFirstOther && slot <= kLastOther) {
    std::uint32_t& reg = others_[(slot - kFirstOther) / 4];
    reg = slotMerge(reg, offset, width, value);
  }
}

}  // namespace sim
