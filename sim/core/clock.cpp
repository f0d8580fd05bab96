#include "clock.h"

#include <sstream>

#include "stop.h"

namespace sim {

void Clock::setCoreHz(std::uint32_t hz) {
  cyclesAtHz_ = cycles();
  hzSince_ = now_;
  coreHz_ = hz;
  quantaPerCycle_ = quantaPerCycle(hz);
}

void Clock::notifyClockChange() {
  for (auto& listener : clockListeners_) listener();
}

void Clock::spendTime(Time span) {
  Time target = now_ + span;
  // Most steps (a register access, a handler's entry) pass no event.
  while (nextWhen_ <= target) {
    moveTo(nextWhen_);
    runDue();
  }
  moveTo(target);
}

Clock::EventId Clock::every(Time when, Time period, std::function<void()> action) {
  EventId id = at(when, std::move(action));
  events_.back().period = period;
  return id;
}

std::size_t Clock::find(EventId id) const {
  for (std::size_t i = 0; i < events_.size(); ++i) {
    if (events_[i].id == id) return i;
  }
  return events_.size();
}

void Clock::findEarliest() {
  earliest_ = 0;
  if (events_.empty()) {
    nextWhen_ = ~Time{0};
    return;
  }
  for (std::size_t i = 1; i < events_.size(); ++i) {
    if (earlier(events_[i], events_[earliest_])) earliest_ = i;
  }
  nextWhen_ = events_[earliest_].when;
}

void Clock::remove(std::size_t index) {
  if (index + 1 != events_.size()) {
    Event& last = events_.back();
    events_[index].when = last.when;
    events_[index].id = last.id;
    events_[index].action.swap(last.action);
    events_[index].period = last.period;
  }
  events_.pop_back();
  findEarliest();
}

void Clock::cancel(EventId id) {
  std::size_t i = find(id);
  if (i != events_.size()) remove(i);
}

bool Clock::pending(EventId id) const { return find(id) != events_.size(); }

Time Clock::timeOf(EventId id) const {
  std::size_t i = find(id);
  return i == events_.size() ? now_ : events_[i].when;
}

Time Clock::nextEventTime() const { return nextWhen_; }

Time Clock::nextEventTimeOtherThan(EventId id) const {
  Time next = ~Time{0};
  for (const Event& event : events_) {
    if (event.id != id && event.when < next) next = event.when;
  }
  return next;
}

bool Clock::runToNextEvent() {
  if (events_.empty()) return false;
  moveTo(events_[earliest_].when);
  runDue();
  return true;
}

void Clock::advanceTo(Time t) {
  runDue();
  while (nextWhen_ <= t) {
    moveTo(nextWhen_);
    runDue();
  }
  if (t > now_) moveTo(t);
}

void Clock::moveTo(Time t) {
  if (t <= now_) return;
  if (stopRequested_.load(std::memory_order_relaxed)) stopRequested();
  if (t > limit_) limitReached();
  now_ = t;
  progress_.store(t, std::memory_order_relaxed);
}

// The run ends at the instant reached so far: what is due later never happens.
void Clock::stopRequested() {
  stopRequested_.store(false, std::memory_order_relaxed);
  if (stopHandler_) stopHandler_();
}

// Kept out of line: the path of every step stays small.
void Clock::limitReached() {
  Time reached = limit_;
  now_ = limit_;
  progress_.store(limit_, std::memory_order_relaxed);
  std::ostringstream msg;
  msg << "time limit of " << formatTime(reached) << " reached";
  throw Stop(StopKind::TimeLimit, msg.str());
}

void Clock::runDue() {
  // An action may schedule or cancel events, also at the current time.
  while (nextWhen_ <= now_) {
    Event& event = events_[earliest_];
    if (event.period != 0) {
      // It stays on the list, at its next time and with the id a
      // re-scheduling would give it now; the action runs from a copy, as the
      // list may grow while it runs.
      std::function<void()> action = event.action;
      event.when += event.period;
      event.id = nextId_++;
      repeatId_ = event.id;
      findEarliest();
      action();
      continue;
    }
    std::function<void()> action;
    action.swap(event.action);
    remove(earliest_);
    action();
  }
}

Time Clock::scaledOutside(Time span) const {
  constexpr __int128 kBillion = 1'000'000'000;
  __int128 scaled = (static_cast<__int128>(span) * (kBillion + oscillatorErrorPpb_) + kBillion / 2) / kBillion;
  if (scaled < 0) return 0;
  if (scaled > static_cast<__int128>(kMaxDuration)) return kMaxDuration;
  return static_cast<Time>(scaled);
}

}  // namespace sim
