#include "pwr.h"

#include <cstddef>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {
constexpr std::uint32_t kCR = offsetof(PWR_TypeDef, CR);
constexpr std::uint32_t kCSR = offsetof(PWR_TypeDef, CSR);
// LPSDSR..FWU, VOS, LPRUN; CWUF and CSBF are write-only clear requests that read as 0.
constexpr std::uint32_t kCrWritable = 0x00005FFFu & ~(PWR_CR_CWUF | PWR_CR_CSBF);
constexpr std::uint32_t kCrReset = 2u << PWR_CR_VOS_Pos;  // range 2, 1.5 V
}  // namespace

std::uint32_t Pwr::read(std::uint32_t offset, unsigned width) {
  std::uint32_t slot = offset & ~3u;
  std::uint32_t value = 0;
  if (slot == kCR) value = cr_;
  if (slot == kCSR) value = PWR_CSR_VREFINTRDYF | (scaling_ ? PWR_CSR_VOSF : 0) | csrEnables_;
  return slotPart(value, offset, width);
}

void Pwr::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  std::uint32_t slot = offset & ~3u;
  if (slot == kCSR) {
    csrEnables_ = slotMerge(csrEnables_, offset, width, value) & PWR_CSR_EWUP;
    return;
  }
  if (slot != kCR) return;
  std::uint32_t v = slotMerge(cr_, offset, width, value) & kCrWritable;
  if ((v & PWR_CR_VOS) == 0) {
    throw Stop(StopKind::Fault, "PWR: reserved voltage range 00 written to CR VOS");
  }
  bool rangeChanged = (v & PWR_CR_VOS) != (cr_ & PWR_CR_VOS);
  if (rangeChanged && !scaling_) previousRange_ = voltageRange();
  cr_ = v;
  if (rangeChanged) {
    // The regulator needs a while to reach the new output voltage; VOSF tells.
    scaling_ = true;
    clock_.cancel(settleEvent_);
    settleEvent_ = clock_.after(settle_, [this] {
      scaling_ = false;
      changed_();
    });
    changed_();
  }
}

void Pwr::reset() {
  clock_.cancel(settleEvent_);
  cr_ = kCrReset;
  scaling_ = false;
  previousRange_ = 2;
  csrEnables_ = 0;
  changed_();
}

unsigned Pwr::rangeInForce() const {
  unsigned now = voltageRange();
  return scaling_ && previousRange_ > now ? previousRange_ : now;
}

unsigned Pwr::voltageRange() const {
  switch ((cr_ & PWR_CR_VOS) >> PWR_CR_VOS_Pos) {
    case 1:
      return 1;
    case 3:
      return 3;
    default:
      return 2;
  }
}

}  // namespace sim
