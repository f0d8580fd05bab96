// The board's virtual clock: the time line, the events scheduled on it, and the
// count of core cycles at whatever SYSCLK the clock tree is running.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "virtual_time.h"

namespace sim {

class Clock {
 public:
  using EventId = std::uint64_t;
  using Listener = std::function<void()>;

  Time now() const { return now_; }
  // The virtual time as last seen by other threads (the stuck-firmware
  // watchdog); it follows now() at every step.
  Time progress() const { return progress_.load(std::memory_order_relaxed); }

  // Core clock (SYSCLK = HCLK on this board); the RCC model sets it.
  std::uint32_t coreHz() const { return coreHz_; }
  void setCoreHz(std::uint32_t hz);
  // Called after every change of a clock frequency in the clock tree, so that
  // models counting on a clock can re-time their pending events.
  void onClockChange(Listener listener) { clockListeners_.push_back(std::move(listener)); }
  void notifyClockChange();

  // Core cycles elapsed since power-on, across frequency changes.
  std::uint64_t cycles() const { return cycles_; }

  // The core spends `n` cycles: time moves on and every event due runs.
  void spendCycles(std::uint32_t n);

  EventId at(Time when, std::function<void()> action);
  EventId after(Time delay, std::function<void()> action) { return at(now_ + delay, std::move(action)); }
  void cancel(EventId id);
  bool pending(EventId id) const;
  // When a pending event is due (now for one that is not pending).
  Time timeOf(EventId id) const;

  bool hasEvents() const { return !events_.empty(); }
  Time nextEventTime() const;
  // Jumps to the next event and runs every event due then. False when none is left.
  bool runToNextEvent();
  // Runs every event due up to `t`, in time order, and stops at `t`.
  void advanceTo(Time t);

  // Time limit of the run; passing it throws Stop(TimeLimit).
  void setLimit(Time limit) { limit_ = limit; }
  Time limit() const { return limit_; }

 private:
  void moveTo(Time t);
  void runDue();

  Time now_ = 0;
  std::atomic<Time> progress_{0};
  std::uint32_t coreHz_ = 2'097'152;  // MSI range 5 after reset
  std::uint64_t cycles_ = 0;
  Time cycleRemainder_ = 0;  // quanta not yet amounting to a whole core cycle
  Time limit_ = ~Time{0};
  EventId nextId_ = 1;
  // Ordered by (time, id): events at the same time run in the order scheduled.
  std::map<std::pair<Time, EventId>, std::function<void()>> events_;
  std::map<EventId, Time> whenOf_;
  std::vector<Listener> clockListeners_;
};

}  // namespace sim
