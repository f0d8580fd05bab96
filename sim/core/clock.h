// The board's virtual clock: the time line, the events scheduled on it, and the
// count of core cycles at whatever SYSCLK the clock tree is running.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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

  // Virtual time is the board's own clock: a second of it is what the board
  // counts as one from the oscillator that drives SYSCLK. That oscillator is
  // off its nominal rate by a relative error (parts per billion; the RCC model
  // sets it whenever the system clock changes source). Anything outside the
  // board that keeps its own time (the far end of a serial line, a sensor's
  // conversion) lasts, on the board's clock, its own span scaled by that
  // error: a board running fast counts more of its seconds in it. Exact and
  // the same on every machine: integer arithmetic, the nearest quantum.
  void setOscillatorError(std::int64_t ppb) { oscillatorErrorPpb_ = ppb; }
  std::int64_t oscillatorErrorPpb() const { return oscillatorErrorPpb_; }
  // `span` of an outside clock as the board's clock counts it now.
  Time outside(Time span) const {
    if (oscillatorErrorPpb_ == 0) return span;
    // The same few spans (a bit time, a gap) come back for every byte.
    if (span != outsideSpan_ || oscillatorErrorPpb_ != outsidePpb_) {
      outsideSpan_ = span;
      outsidePpb_ = oscillatorErrorPpb_;
      outsideScaled_ = scaledOutside(span);
    }
    return outsideScaled_;
  }

  // Core cycles elapsed since power-on, across frequency changes.
  std::uint64_t cycles() const { return cyclesAtHz_ + (now_ - hzSince_) / quantaPerCycle_; }

  // The core spends `n` cycles: time moves on and every event due runs.
  void spendCycles(std::uint32_t n) { spendTime(static_cast<Time>(n) * quantaPerCycle_); }
  // The same for a span of time (a whole number of core cycles).
  void spendTime(Time span);
  // Quanta of one core cycle at the current SYSCLK.
  Time quantaPerCoreCycle() const { return quantaPerCycle_; }

  // `action`: anything callable as void(); it is stored as the event's
  // std::function, built in place from what the caller gives.
  template <typename Action>
  EventId at(Time when, Action&& action);
  template <typename Action>
  EventId after(Time delay, Action&& action) {
    return at(now_ + delay, std::forward<Action>(action));
  }
  // An event that comes back every `period` (> 0) from `when` on, until
  // cancelled: before each run it is put back at its next time under a new id,
  // exactly as if its action re-scheduled itself first thing, but without
  // taking it off the list and building it anew (the 1 ms tick). Inside the
  // action, repeatId() is the id of the next run.
  EventId every(Time when, Time period, std::function<void()> action);
  EventId repeatId() const { return repeatId_; }
  void cancel(EventId id);
  bool pending(EventId id) const;
  // When a pending event is due (now for one that is not pending).
  Time timeOf(EventId id) const;

  bool hasEvents() const { return !events_.empty(); }
  // Events scheduled so far (run, cancelled or pending).
  std::uint64_t eventsScheduled() const { return nextId_ - 1; }
  Time nextEventTime() const;
  // When the earliest event other than `id` is due; never reached when there
  // is none.
  Time nextEventTimeOtherThan(EventId id) const;
  // Jumps to the next event and runs every event due then. False when none is left.
  bool runToNextEvent();
  // Runs every event due up to `t`, in time order, and stops at `t`.
  void advanceTo(Time t);

  // Time limit of the run; passing it throws Stop(TimeLimit).
  void setLimit(Time limit) { limit_ = limit; }
  Time limit() const { return limit_; }

  // Set from a signal handler (a lock-free store is all it may do): the next
  // step of time calls the stop handler, which ends the run by throwing.
  std::atomic<bool>& stopRequest() { return stopRequested_; }
  void setStopHandler(Listener handler) { stopHandler_ = std::move(handler); }

 private:
  // Events sit unordered in one flat list whose earliest entry is kept at hand:
  // the board has a handful pending at any time, so a scan on removal is
  // cheaper than any ordered structure, and the list's storage is reused
  // without allocating.
  struct Event {
    // The action is built straight in the list's storage from the caller's
    // callable: no std::function made by the caller and moved in.
    template <typename Action>
    Event(Time w, EventId i, Action&& a) : when(w), id(i), action(std::forward<Action>(a)) {}
    Time when;
    EventId id;
    std::function<void()> action;
    Time period = 0;  // 0: runs once
  };
  static bool earlier(const Event& a, const Event& b) { return a.when < b.when || (a.when == b.when && a.id < b.id); }
  std::size_t find(EventId id) const;
  void remove(std::size_t index);
  void findEarliest();
  void moveTo(Time t);
  [[noreturn, gnu::noinline, gnu::cold]] void limitReached();
  [[gnu::noinline, gnu::cold]] void stopRequested();
  void runDue();
  Time scaledOutside(Time span) const;

  Time now_ = 0;
  std::atomic<Time> progress_{0};
  std::uint32_t coreHz_ = 2'097'152;  // MSI range 5 after reset
  Time quantaPerCycle_ = quantaPerCycle(2'097'152);
  // Cycles are counted from the last change of SYSCLK; a partly elapsed cycle
  // at the change is dropped.
  std::uint64_t cyclesAtHz_ = 0;
  Time hzSince_ = 0;
  std::int64_t oscillatorErrorPpb_ = 0;
  // The last span outside() scaled, at which error, and the result.
  mutable Time outsideSpan_ = 0, outsideScaled_ = 0;
  mutable std::int64_t outsidePpb_ = 0;
  Time limit_ = ~Time{0};
  std::atomic<bool> stopRequested_{false};
  Listener stopHandler_;
  EventId nextId_ = 1;
  EventId repeatId_ = 0;
  std::vector<Event> events_;
  std::size_t earliest_ = 0;  // index of the next event due, when there is one
  Time nextWhen_ = ~Time{0};  // its time; never reached when there is none
  std::vector<Listener> clockListeners_;
};

template <typename Action>
Clock::EventId Clock::at(Time when, Action&& action) {
  if (when < now_) when = now_;
  if (events_.capacity() == 0) events_.reserve(64);
  const EventId id = nextId_++;
  events_.emplace_back(when, id, std::forward<Action>(action));
  // A new event has the highest id: it comes first only when strictly earlier.
  if (events_.size() == 1 || when < events_[earliest_].when) {
    earliest_ = events_.size() - 1;
    nextWhen_ = when;
  }
  return id;
}

}  // namespace sim
