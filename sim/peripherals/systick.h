// The Cortex-M3 SysTick timer: a 24-bit down counter on the core clock that
// reloads from LOAD, sets COUNTFLAG and pends the SysTick exception at each wrap.
#pragma once

#include <cstdint>
#include <string>

#include "../core/bus.h"
#include "../core/clock.h"
#include "../core/interrupt_controller.h"
#include "../core/lazy_counter.h"

namespace sim {

class SysTickTimer : public Peripheral {
 public:
  SysTickTimer(Clock& clock, InterruptController& interrupts);

  std::string name() const override { return "SysTick"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

  std::uint32_t load() const { return load_; }
  std::uint32_t ctrl() const { return ctrl_; }
  std::uint64_t wraps() const { return wraps_; }
  // While the clock brings the wraps back by itself (no register or clock
  // change since the last wrap): the event of the next wrap and the time
  // between wraps. A period of 0 otherwise.
  Clock::EventId wrapEvent() const { return wrapEvent_; }
  Time steadyPeriod() const { return wrapEvent_ != 0 ? wrapPeriod_ : 0; }

 private:
  std::uint32_t currentValue() const;
  void schedule();
  void retime();
  // Counter clock in force: the core clock, or the core clock / 8 (CLKSOURCE = 0).
  std::uint32_t counterHz() const;
  // VAL after `edges` clock edges from VAL = `from`.
  std::uint32_t valueAfter(std::uint32_t from, std::uint64_t edges) const;
  // Edge, counted from the counter's start, of the first wrap (1 -> 0) after edge `after`
  // (or at or after edge 1 when `after` is 0); 0 when the counter never wraps.
  std::uint64_t nextWrapEdge(std::uint64_t after) const;
  void wrap(std::uint64_t edge);
  // A wrap brought back by the clock a period after the last.
  void repeatWrap();
  // Runs a wrap that is due now but whose event has not run yet, then takes the
  // counter's state at the last clock edge as its new starting point.
  void freeze();
  bool enabled() const;

  Clock& clock_;
  InterruptController& interrupts_;
  std::uint32_t ctrl_ = 0;
  std::uint32_t load_ = 0;
  std::uint32_t valAtStart_ = 0;  // VAL when counting (re)started
  LazyCounter counter_{clock_};   // edges of the counter clock since VAL was valAtStart_
  bool countFlag_ = false;
  std::uint64_t wraps_ = 0;
  Clock::EventId wrapEvent_ = 0;
  Time wrapAt_ = 0;             // time of the pending wrap event
  Time wrapPeriod_ = 0;         // between wraps, while the clock repeats them
  std::uint64_t wrapEdge_ = 0;  // its edge, counted from the counter's start
};

}  // namespace sim
