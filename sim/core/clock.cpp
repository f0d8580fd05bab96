#include "clock.h"

#include <sstream>

#include "stop.h"

namespace sim {

void Clock::setCoreHz(std::uint32_t hz) {
  coreHz_ = hz;
  cycleRemainder_ = 0;
}

void Clock::notifyClockChange() {
  for (auto& listener : clockListeners_) listener();
}

void Clock::spendCycles(std::uint32_t n) {
  Time target = now_ + cyclesToTime(n, coreHz_);
  runDue();
  while (!events_.empty() && events_.begin()->first.first <= target) {
    moveTo(events_.begin()->first.first);
    runDue();
  }
  moveTo(target);
}

Clock::EventId Clock::at(Time when, std::function<void()> action) {
  if (when < now_) when = now_;
  EventId id = nextId_++;
  events_.emplace(std::make_pair(when, id), std::move(action));
  whenOf_.emplace(id, when);
  return id;
}

void Clock::cancel(EventId id) {
  auto it = whenOf_.find(id);
  if (it == whenOf_.end()) return;
  events_.erase({it->second, id});
  whenOf_.erase(it);
}

bool Clock::pending(EventId id) const { return whenOf_.count(id) != 0; }

Time Clock::timeOf(EventId id) const {
  auto it = whenOf_.find(id);
  return it == whenOf_.end() ? now_ : it->second;
}

Time Clock::nextEventTime() const { return events_.empty() ? ~Time{0} : events_.begin()->first.first; }

bool Clock::runToNextEvent() {
  if (events_.empty()) return false;
  moveTo(events_.begin()->first.first);
  runDue();
  return true;
}

void Clock::advanceTo(Time t) {
  runDue();
  while (!events_.empty() && events_.begin()->first.first <= t) {
    moveTo(events_.begin()->first.first);
    runDue();
  }
  if (t > now_) moveTo(t);
}

void Clock::moveTo(Time t) {
  if (t <= now_) return;
  if (t > limit_) {
    Time reached = limit_;
    now_ = limit_;
    progress_.store(limit_, std::memory_order_relaxed);
    std::ostringstream msg;
    msg << "time limit of " << formatTime(reached) << " reached";
    throw Stop(StopKind::TimeLimit, msg.str());
  }
  Time elapsed = t - now_ + cycleRemainder_;
  Time perCycle = quantaPerCycle(coreHz_);
  cycles_ += elapsed / perCycle;
  cycleRemainder_ = elapsed % perCycle;
  now_ = t;
  progress_.store(t, std::memory_order_relaxed);
}

void Clock::runDue() {
  // An action may schedule or cancel events, also at the current time.
  while (!events_.empty() && events_.begin()->first.first <= now_) {
    auto node = events_.extract(events_.begin());
    whenOf_.erase(node.key().second);
    node.mapped()();
  }
}

}  // namespace sim
