#include "general_timer.h"

#include <cstddef>
#include <cstdio>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {
// Register offsets (16-bit registers at 4-byte strides).
constexpr std::uint32_t kCr1 = offsetof(TIM_TypeDef, CR1);
constexpr std::uint32_t kCr2 = offsetof(TIM_TypeDef, CR2);
constexpr std::uint32_t kSmcr = offsetof(TIM_TypeDef, SMCR);
constexpr std::uint32_t kDier = offsetof(TIM_TypeDef, DIER);
constexpr std::uint32_t kSr = offsetof(TIM_TypeDef, SR);
constexpr std::uint32_t kEgr = offsetof(TIM_TypeDef, EGR);
constexpr std::uint32_t kCcmr1 = offsetof(TIM_TypeDef, CCMR1);
constexpr std::uint32_t kCcmr2 = offsetof(TIM_TypeDef, CCMR2);
constexpr std::uint32_t kCcer = offsetof(TIM_TypeDef, CCER);
constexpr std::uint32_t kCnt = offsetof(TIM_TypeDef, CNT);
constexpr std::uint32_t kPsc = offsetof(TIM_TypeDef, PSC);
constexpr std::uint32_t kArr = offsetof(TIM_TypeDef, ARR);
constexpr std::uint32_t kCcr1 = offsetof(TIM_TypeDef, CCR1);
constexpr std::uint32_t kCcr4 = offsetof(TIM_TypeDef, CCR4);
constexpr std::uint32_t kDcr = offsetof(TIM_TypeDef, DCR);
constexpr std::uint32_t kDmar = offsetof(TIM_TypeDef, DMAR);
constexpr std::uint32_t kOr = offsetof(TIM_TypeDef, OR);

constexpr std::uint16_t kCr1Mask = 0x03FF;  // CEN .. CKD

// Flags that software may only clear (rc_w0): UIF, CC1IF..CC4IF, TIF, CC1OF..CC4OF.
constexpr std::uint16_t kSrClearable = 0x1E5F;
// EGR bits that set a flag of the same position: CC1G..CC4G, TG.
constexpr std::uint16_t kEgrFlagEvents = 0x005E;
// Interrupt enables of DIER, at the positions of their flags in SR.
constexpr std::uint16_t kInterruptSources = 0x005F;
constexpr std::uint16_t kDierMask = 0x5F5F;

constexpr std::uint64_t kCounterRange = 0x10000;  // 16-bit counter
}  // namespace

GeneralTimer::GeneralTimer(std::string name, Clock& clock, InterruptController& interrupts, int irqLine,
                           TimerClock counterHz)
    : name_(std::move(name)),
      clock_(clock),
      interrupts_(interrupts),
      irqLine_(irqLine),
      counterHz_(std::move(counterHz)) {
  clock_.onClockChange([this] {
    if (!counting()) return;
    freeze();
    counter_.setPeriod(countPeriod());
    schedule();
  });
}

Time GeneralTimer::countPeriod() const {
  std::uint32_t hz = clocked() && counterHz_ ? counterHz_() : 0;
  if (hz == 0) return 0;
  return quantaPerCycle(hz) * (Time{pscActive_} + 1);
}

bool GeneralTimer::counting() const { return (cr1_ & TIM_CR1_CEN) != 0; }

std::uint64_t GeneralTimer::countsSinceStart() const {
  if (!counting() || blocked()) return 0;
  return counter_.edges();
}

std::uint32_t GeneralTimer::counterNow() const {
  std::uint64_t cnt = std::uint64_t{cntAtStart_} + countsSinceStart();
  std::uint64_t cycle = std::uint64_t{arrActive_} + 1;
  if (cntAtStart_ <= arrActive_) {
    if (cnt <= arrActive_) return static_cast<std::uint32_t>(cnt);
    return static_cast<std::uint32_t>((cnt - cycle) % cycle);  // overflow due, its event not yet run
  }
  if (cnt < kCounterRange) return static_cast<std::uint32_t>(cnt);
  return static_cast<std::uint32_t>((cnt - kCounterRange) % cycle);
}

void GeneralTimer::schedule() {
  if (overflowEvent_ != 0) clock_.cancel(overflowEvent_);
  overflowEvent_ = 0;
  if (!counting() || !counter_.running() || blocked()) return;
  // Up to ARR and over to 0; a counter set above ARR runs on to the end of its
  // range first.
  std::uint64_t counts =
      cntAtStart_ <= arrActive_ ? std::uint64_t{arrActive_} - cntAtStart_ + 1 : kCounterRange - cntAtStart_;
  overflowAt_ = counter_.timeOfEdge(counts);
  overflowEvent_ = clock_.at(overflowAt_, [this] {
    overflowEvent_ = 0;
    overflow();
  });
}

void GeneralTimer::restart() {
  counter_.start(countPeriod());
  schedule();
}

// Without its clock the counter holds its count; it goes on from there when the
// clock returns.
void GeneralTimer::clockGated(bool on) {
  if (!counting()) return;
  if (on) {
    restart();
    return;
  }
  freeze();
  counter_.stop();
  schedule();  // cancels the pending overflow
}

void GeneralTimer::freeze() {
  if (!counting()) return;
  if (overflowEvent_ != 0 && clock_.pending(overflowEvent_) && overflowAt_ <= clock_.now()) {
    clock_.cancel(overflowEvent_);
    overflowEvent_ = 0;
    overflow();
  }
  cntAtStart_ = static_cast<std::uint16_t>(counterNow());
  if (blocked()) {
    counter_.start(counter_.period());  // nothing counted while blocked
  } else {
    counter_.rebase();
  }
}

void GeneralTimer::overflow() {
  bool atReload = cntAtStart_ <= arrActive_;
  cntAtStart_ = 0;
  counter_.start(counter_.period());
  if (atReload && (cr1_ & TIM_CR1_UDIS) == 0) {
    updateEvent(false);
    return;
  }
  // Rolling over from 0xFFFF, or an overflow with update events disabled: the
  // counter starts again from 0 without an update.
  schedule();
}

// The update event: prescaler and auto-reload preloads go into force, the
// counter and the prescaler counter restart, UIF is set (except for UG while
// URS restricts update requests to overflows).
void GeneralTimer::updateEvent(bool fromSoftware) {
  if (fromSoftware) cntAtStart_ = 0;
  if (fromSoftware && (cr1_ & TIM_CR1_UDIS) != 0) {
    // UG with UDIS: counter and prescaler are re-initialised, nothing else.
    if (counting()) restart();
    return;
  }
  pscActive_ = psc_;
  arrActive_ = arr_;
  ++updates_;
  if (!fromSoftware || (cr1_ & TIM_CR1_URS) == 0) sr_ |= TIM_SR_UIF;
  if (!fromSoftware && (cr1_ & TIM_CR1_OPM) != 0) cr1_ &= static_cast<std::uint16_t>(~TIM_CR1_CEN);
  if (counting()) {
    restart();
  } else if (overflowEvent_ != 0) {
    clock_.cancel(overflowEvent_);
    overflowEvent_ = 0;
  }
  updateInterruptLine();
}

// The timer's registers answer half-word and word accesses only.
void GeneralTimer::byteAccess(std::uint32_t offset) const {
  char buf[96];
  std::snprintf(buf, sizeof buf, "bus error: byte access to %s register at offset 0x%02X", name_.c_str(),
                static_cast<unsigned>(offset));
  throw Stop(StopKind::Fault, buf);
}

void GeneralTimer::updateInterruptLine() { interrupts_.setLine(irqLine_, (dier_ & sr_ & kInterruptSources) != 0); }

std::uint32_t GeneralTimer::read(std::uint32_t offset, unsigned width) {
  if (width == 1) byteAccess(offset);
  if ((offset & 3u) != 0) return 0;  // upper half of a 16-bit register slot
  switch (offset) {
    case kCr1:
      return cr1_;
    case kCr2:
      return cr2_;
    case kSmcr:
      return smcr_;
    case kDier:
      return dier_;
    case kSr:
      return sr_;
    case kEgr:
      return 0;  // write-only
    case kCcmr1:
      return ccmr_[0];
    case kCcmr2:
      return ccmr_[1];
    case kCcer:
      return ccer_;
    case kCnt:
      return counterNow();
    case kPsc:
      return psc_;
    case kArr:
      return arr_;
    case kDcr:
      return dcr_;
    case kDmar:
      return dmar_;
    case kOr:
      return or_;
    default:
      if (offset >= kCcr1 && offset <= kCcr4) return ccr_[(offset - kCcr1) / 4];
      return 0;
  }
}

void GeneralTimer::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (width == 1) byteAccess(offset);
  if ((offset & 3u) != 0) return;  // upper half of a 16-bit register slot
  auto v = static_cast<std::uint16_t>(value);
  switch (offset) {
    case kCr1: {
      if ((v & (TIM_CR1_DIR | TIM_CR1_CMS)) != 0) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "%s CR1 = 0x%04X: down-counting and centre-aligned modes are not modelled",
                      name_.c_str(), static_cast<unsigned>(v));
        throw Stop(StopKind::Fault, buf);
      }
      freeze();
      bool was = counting();
      cr1_ = v & kCr1Mask;
      if (counting() && !was) {
        restart();
      } else if (!counting()) {
        schedule();  // cancels
      }
      return;
    }
    case kCr2:
      cr2_ = v;
      return;
    case kSmcr:
      smcr_ = v;
      return;
    case kDier:
      dier_ = v & kDierMask;
      updateInterruptLine();
      return;
    case kSr:
      sr_ = static_cast<std::uint16_t>(sr_ & (v | static_cast<std::uint16_t>(~kSrClearable)) & kSrClearable);
      updateInterruptLine();
      return;
    case kEgr:
      sr_ |= static_cast<std::uint16_t>(v & kEgrFlagEvents);
      if ((v & TIM_EGR_UG) != 0) {
        freeze();
        updateEvent(true);
      }
      updateInterruptLine();
      return;
    case kCcmr1:
      ccmr_[0] = v;
      return;
    case kCcmr2:
      ccmr_[1] = v;
      return;
    case kCcer:
      ccer_ = v;
      return;
    case kCnt:
      freeze();
      cntAtStart_ = v;
      if (counting()) counter_.start(counter_.period());
      schedule();
      return;
    case kPsc:
      psc_ = v;
      return;  // preload: in force from the next update event
    case kArr:
      freeze();
      arr_ = v;
      if ((cr1_ & TIM_CR1_ARPE) == 0) arrActive_ = v;
      schedule();
      return;
    case kDcr:
      dcr_ = v;
      return;
    case kDmar:
      dmar_ = v;
      return;
    case kOr:
      or_ = v;
      return;
    default:
      if (offset >= kCcr1 && offset <= kCcr4) ccr_[(offset - kCcr1) / 4] = v;
      return;
  }
}

void GeneralTimer::reset() {
  if (overflowEvent_ != 0) clock_.cancel(overflowEvent_);
  overflowEvent_ = 0;
  cr1_ = cr2_ = smcr_ = dier_ = sr_ = 0;
  psc_ = pscActive_ = 0;
  arr_ = arrActive_ = 0xFFFF;
  cntAtStart_ = 0;
  counter_.stop();
  ccmr_[0] = ccmr_[1] = 0;
  ccer_ = 0;
  for (auto& ccr : ccr_) ccr = 0;
  dcr_ = dmar_ = or_ = 0;
  updateInterruptLine();
}

}  // namespace sim
