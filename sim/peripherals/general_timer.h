// A general-purpose timer (TIM2): prescaler, auto-reload, up-counting counter,
// update event (overflow or UG), update flag and update interrupt. The counter
// clock comes from the clock tree (PCLK1 x1 on this board).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "../core/bus.h"
#include "../core/clock.h"
#include "../core/interrupt_controller.h"
#include "../core/lazy_counter.h"

namespace sim {

class GeneralTimer : public Peripheral {
 public:
  using TimerClock = std::function<std::uint32_t()>;

  GeneralTimer(std::string name, Clock& clock, InterruptController& interrupts, int irqLine, TimerClock counterHz);

  std::string name() const override { return name_; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  void reset() override;
  std::uint64_t updates() const { return updates_; }
  // Counter clock divided by the prescaler in force, in quanta per count; 0
  // while the timer's clock is off.
  Time countPeriod() const;

 protected:
  void clockGated(bool on) override;

 private:
  std::uint32_t counterNow() const;
  void updateEvent(bool fromSoftware);
  void schedule();
  void updateInterruptLine();
  bool counting() const;
  // Counts since the counter's start at the count period in force.
  std::uint64_t countsSinceStart() const;
  // A zero auto-reload blocks the counter: it neither counts nor updates.
  bool blocked() const { return arrActive_ == 0; }
  // The counter reaches the end of its range (ARR, or 0xFFFF above ARR).
  void overflow();
  // Runs an overflow that is due now but has not run yet, then takes the counter
  // at its last count as the new starting point.
  void freeze();
  // Starts counting afresh from the counter in cntAtStart_ at the current rate.
  void restart();
  [[noreturn]] void byteAccess(std::uint32_t offset) const;

  std::string name_;
  Clock& clock_;
  InterruptController& interrupts_;
  int irqLine_;
  TimerClock counterHz_;
  std::uint16_t cr1_ = 0, cr2_ = 0, smcr_ = 0, dier_ = 0, sr_ = 0;
  std::uint16_t psc_ = 0;        // preload register
  std::uint16_t pscActive_ = 0;  // prescaler in force
  std::uint16_t arr_ = 0xFFFF;
  std::uint16_t cntAtStart_ = 0;  // counter value when counting (re)started
  LazyCounter counter_{clock_};   // counts since the counter was cntAtStart_
  std::uint64_t updates_ = 0;
  Clock::EventId overflowEvent_ = 0;
  std::uint16_t arrActive_ = 0xFFFF;  // auto-reload in force (ARR is preloaded when ARPE)
  std::uint16_t ccmr_[2] = {0, 0};
  std::uint16_t ccer_ = 0;
  std::uint16_t ccr_[4] = {0, 0, 0, 0};
  std::uint16_t dcr_ = 0, dmar_ = 0, or_ = 0;
  Time overflowAt_ = 0;  // time of the pending overflow event
};

}  // namespace sim
