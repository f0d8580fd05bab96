#include "systick.h"

#include <cstddef>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {
constexpr std::uint32_t kCtrl = offsetof(SysTick_TypeDef, CTRL);
constexpr std::uint32_t kLoad = offsetof(SysTick_TypeDef, LOAD);
constexpr std::uint32_t kVal = offsetof(SysTick_TypeDef, VAL);
constexpr std::uint32_t kCalib = offsetof(SysTick_TypeDef, CALIB);

constexpr std::uint32_t kCtrlWritable = SysTick_CTRL_ENABLE | SysTick_CTRL_TICKINT | SysTick_CTRL_CLKSOURCE;

// NOREF = 0 (the core clock / 8 reference exists), SKEW = 1 (the reference is
// the bus clock divided, not an exact 10 ms source), TENMS = 10 ms of HCLK / 8
// at 32 MHz.
constexpr std::uint32_t kCalibValue = SysTick_CALIB_SKEW | (40'000u - 1u);
}  // namespace

SysTickTimer::SysTickTimer(Clock& clock, InterruptController& interrupts) : clock_(clock), interrupts_(interrupts) {
  clock_.onClockChange([this] { retime(); });
}

bool SysTickTimer::enabled() const { return (ctrl_ & SysTick_CTRL_ENABLE) != 0; }

std::uint32_t SysTickTimer::counterHz() const {
  return (ctrl_ & SysTick_CTRL_CLKSOURCE) != 0 ? clock_.coreHz() : clock_.coreHz() / 8;
}

// The counter steps down once per clock edge; from 0 the next edge reloads it
// from LOAD (a reload of 0 keeps it at 0: the counter stops).
std::uint32_t SysTickTimer::valueAfter(std::uint32_t from, std::uint64_t edges) const {
  if (edges == 0) return from;
  std::uint64_t sinceZero = edges;
  if (from > 0) {
    if (edges <= from) return from - static_cast<std::uint32_t>(edges);
    sinceZero = edges - from;
  }
  if (load_ == 0) return 0;
  std::uint64_t cycle = std::uint64_t{load_} + 1;
  return load_ - static_cast<std::uint32_t>((sinceZero - 1) % cycle);
}

// Wraps are the steps from 1 to 0. Starting from 0 the first edge reloads
// without a wrap, so wraps come every LOAD + 1 edges.
std::uint64_t SysTickTimer::nextWrapEdge(std::uint64_t after) const {
  std::uint64_t first = valAtStart_ > 0 ? valAtStart_ : (load_ > 0 ? std::uint64_t{load_} + 1 : 0);
  if (first == 0) return 0;
  if (after < first) return first;
  if (load_ == 0) return 0;
  std::uint64_t cycle = std::uint64_t{load_} + 1;
  return first + ((after - first) / cycle + 1) * cycle;
}

std::uint32_t SysTickTimer::currentValue() const {
  return enabled() ? valueAfter(valAtStart_, counter_.edges()) : valAtStart_;
}

void SysTickTimer::schedule() {
  if (wrapEvent_ != 0) clock_.cancel(wrapEvent_);
  wrapEvent_ = 0;
  wrapPeriod_ = 0;
  if (!enabled() || !counter_.running()) return;
  std::uint64_t edge = nextWrapEdge(counter_.edges());
  if (edge == 0) return;
  wrapEdge_ = edge;
  wrapAt_ = counter_.timeOfEdge(edge);
  wrapEvent_ = clock_.at(wrapAt_, [this, edge] { wrap(edge); });
}

void SysTickTimer::wrap(std::uint64_t /*edge*/) {
  wrapEvent_ = 0;
  countFlag_ = true;
  ++wraps_;
  if ((ctrl_ & SysTick_CTRL_TICKINT) != 0) interrupts_.setPending(InterruptController::kSysTick);
  // Every change of LOAD, VAL or the counter's clock re-schedules from the
  // registers; between such changes wraps come every LOAD + 1 edges, which
  // needs no division on the path of every tick.
  if (load_ != 0 && enabled() && counter_.running()) {
    Time every = (Time{load_} + 1) * counter_.period();
    Time next = wrapAt_ + every;
    if (next > clock_.now()) {
      // From here the clock brings the wrap back itself, until a change of
      // the registers or of the clock schedules anew.
      wrapAt_ = next;
      wrapPeriod_ = every;
      wrapEvent_ = clock_.every(next, every, [this] { repeatWrap(); });
      return;
    }
  }
  schedule();
}

// The clock has put the next wrap one period later already.
void SysTickTimer::repeatWrap() {
  wrapEvent_ = clock_.repeatId();
  wrapAt_ += wrapPeriod_;
  countFlag_ = true;
  ++wraps_;
  if ((ctrl_ & SysTick_CTRL_TICKINT) != 0) interrupts_.setPending(InterruptController::kSysTick);
}

void SysTickTimer::freeze() {
  if (!enabled()) return;
  if (wrapEvent_ != 0 && clock_.pending(wrapEvent_) && wrapAt_ <= clock_.now()) {
    clock_.cancel(wrapEvent_);
    wrap(wrapEdge_);
  }
  valAtStart_ = valueAfter(valAtStart_, counter_.edges());
  counter_.rebase();
}

// The core clock changed: the count so far stands, the rest runs at the new rate.
void SysTickTimer::retime() {
  if (!enabled()) return;
  freeze();
  counter_.setPeriod(quantaPerCycle(counterHz()));
  schedule();
}

std::uint32_t SysTickTimer::read(std::uint32_t offset, unsigned width) {
  if (width != 4) busError("SysTick register read of width " + std::to_string(width), SysTick_BASE + offset);
  switch (offset) {
    case kCtrl: {
      freeze();
      std::uint32_t value = ctrl_ | (countFlag_ ? SysTick_CTRL_COUNTFLAG : 0u);
      countFlag_ = false;  // reading CTRL clears COUNTFLAG
      return value;
    }
    case kLoad:
      return load_;
    case kVal:
      return currentValue();
    case kCalib:
      return kCalibValue;
    default:
      return 0;
  }
}

void SysTickTimer::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (width != 4) busError("SysTick register write of width " + std::to_string(width), SysTick_BASE + offset);
  switch (offset) {
    case kCtrl: {
      freeze();
      bool was = enabled();
      ctrl_ = value & kCtrlWritable;
      if (enabled() && !was) {
        counter_.start(quantaPerCycle(counterHz()));
      } else if (enabled()) {
        counter_.setPeriod(quantaPerCycle(counterHz()));
      } else {
        counter_.stop();
      }
      schedule();
      return;
    }
    case kLoad:
      freeze();
      load_ = value & SysTick_LOAD_RELOAD;
      schedule();
      return;
    case kVal:
      // Any write clears the counter and COUNTFLAG; the next edge reloads.
      freeze();
      valAtStart_ = 0;
      countFlag_ = false;
      schedule();
      return;
    default:
      return;  // CALIB is read-only
  }
}

}  // namespace sim
