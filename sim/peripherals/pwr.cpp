#include "pwr.h"

#include "../core/stop.h"

namespace sim {

namespace {
constexpr std::uint32_t kCR = 0x00, kCSR = 0x04;
constexpr std::uint32_t kCwuf = 1u << 2, kCsbf = 1u << 3;  // write-only clear requests, read as 0
constexpr std::uint32_t kVosPos = 11;
constexpr std::uint32_t kVos = 3u << kVosPos;
constexpr std::uint32_t kCrWritable = 0x00005FFFu & ~(kCwuf | kCsbf);  // LPSDSR..FWU, VOS, LPRUN
constexpr std::uint32_t kCrReset = 2u << kVosPos;                      // range 2, 1.5 V
constexpr std::uint32_t kVrefintRdyf = 1u << 3;
constexpr std::uint32_t kVosf = 1u << 4;
constexpr std::uint32_t kEwup = 7u << 8;
}  // namespace

std::uint32_t Pwr::read(std::uint32_t offset, unsigned width) {
  std::uint32_t slot = offset & ~3u;
  std::uint32_t value = 0;
  if (slot == kCR) value = cr_;
  if (slot == kCSR) value = kVrefintRdyf | (scaling_ ? kVosf : 0) | csrEnables_;
  return slotPart(value, offset, width);
}

void Pwr::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  std::uint32_t slot = offset & ~3u;
  if (slot == kCSR) {
    csrEnables_ = slotMerge(csrEnables_, offset, width, value) & kEwup;
    return;
  }
  if (slot != kCR) return;
  std::uint32_t v = slotMerge(cr_, offset, width, value) & kCrWritable;
  if ((v & kVos) == 0) {
    throw Stop(StopKind::Fault, "PWR: reserved voltage range 00 written to CR VOS");
  }
  bool rangeChanged = (v & kVos) != (cr_ & kVos);
  cr_ = v;
  if (rangeChanged) {
    // The regulator needs a while to reach the new output voltage; VOSF tells.
    scaling_ = true;
    clock_.cancel(settleEvent_);
    settleEvent_ = clock_.after(settle_, [this] { scaling_ = false; });
  }
}

void Pwr::reset() {
  clock_.cancel(settleEvent_);
  cr_ = kCrReset;
  scaling_ = false;
  csrEnables_ = 0;
}

unsigned Pwr::voltageRange() const {
  switch ((cr_ & kVos) >> kVosPos) {
    case 1:
      return 1;
    case 3:
      return 3;
    default:
      return 2;
  }
}

}  // namespace sim
