// Fast-forwarding loops that only an event can end, for the host build and
// the emulated core alike: how many iterations of a wait loop or a poll loop
// may pass at once before the board's next event, with the same virtual times
// and the same outcome as when each is run.
//
// An iteration passes at once only when it ends before the next event: the
// one in which the event falls runs (or is read) as usual, so that the event
// is seen exactly where it would have been.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

#include "bus.h"
#include "clock.h"
#include "interrupt_controller.h"

namespace sim {

class FastForward {
 public:
  static constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

  explicit FastForward(Clock& clock) : clock_(clock) {}

  // Whole iterations of `cycles` core cycles each (> 0) that end before the
  // next event's time, at most `most` (all of `most` when no event is left).
  std::uint64_t iterationsBeforeEvent(std::uint64_t cycles, std::uint64_t most = kNoLimit) const;
  // Core cycles from now to the first cycle boundary at or past the next
  // event: 1 when it is due now, a very long way when none is left.
  std::uint64_t cyclesToNextEvent() const;
  // Whether the next event falls within the next `cycles` core cycles, their
  // end included.
  bool eventWithin(std::uint64_t cycles) const;
  // Whether the next event is due now (or overdue).
  bool eventDue() const { return clock_.hasEvents() && clock_.nextEventTime() <= clock_.now(); }
  // Passes `iterations` iterations of `cycles` core cycles each.
  void pass(std::uint64_t iterations, std::uint64_t cycles) { spend(iterations * cycles); }
  // Spends any number of core cycles, running the events due meanwhile.
  void spend(std::uint64_t cycles);

  // A loop that counts a register down by one per iteration and ends at the
  // count's end: of the iterations `count` still allows, those that are
  // alike and may pass at once. The last iteration runs, and so do those
  // whose flags would differ (the count crossing the sign bit).
  static std::uint64_t passableByCount(std::uint32_t count);

 private:
  Clock& clock_;
};

// The host build's poll loops. The firmware's last access was a read of a
// status register that failed its loop's test, and the loop reads it again
// while it reads the same: polls that the register's model says cannot read
// anything else before the next event pass at once, and the board reads the
// register itself where an event falls, as the poll in that slot would.
class PollLoops {
 public:
  // `accesses` counts the firmware's register accesses.
  PollLoops(Clock& clock, InterruptController& interrupts, Bus& bus, const std::uint64_t& accesses)
      : clock_(clock), interrupts_(interrupts), bus_(bus), accesses_(accesses) {}

  // The firmware read `value` from a register, its last access so far.
  // `handlerAfter`: a handler ran right after the read. Its next read of the
  // register is a poll all the same, but the handler may have changed what
  // it reads (its own writes end a transfer): that poll is made, not passed.
  void read(std::uint32_t address, unsigned width, std::uint32_t value, bool handlerAfter);
  // The firmware went idle: its next read is no poll.
  void forget() { lastReadAt_ = ~std::uint64_t{0}; }
  // Whether a read of `address` now reads the register of the last read
  // again with nothing between: a poll.
  bool isPoll(std::uint32_t address, unsigned width) const;
  // Whether a poll's cycles are spent and its slot's events have run: the
  // firmware's next access must be that poll (throws for another), and takes
  // no cycles of its own.
  bool takeDue(std::uint32_t address, unsigned width);
  // Throws `what` when a poll is due and the firmware does something else.
  void checkNoneDue(const char* what) const;

  // Passes up to `more` polls of the last read register, each `pollCycles`
  // core cycles after the one before; returns how many passed. `seeded`: an
  // interrupt pended by an event may be taken before the poll's read, which
  // the firmware's own read then decides. `polled` is told of each poll made
  // (before a handler that may run after it).
  std::uint32_t skip(std::uint32_t more, std::uint32_t pollCycles, bool seeded,
                     const std::function<void(std::uint32_t address, unsigned width, std::uint32_t value)>& polled);

  // Polls that passed at once (not counted among the firmware's accesses).
  std::uint64_t skipped() const { return skipped_; }

 private:
  Clock& clock_;
  InterruptController& interrupts_;
  Bus& bus_;
  const std::uint64_t& accesses_;
  std::uint64_t skipped_ = 0;
  // The firmware's last action, when it was a read: the register and the
  // access count and exceptions taken at that moment. A poll can be skipped
  // only right after it, with nothing between.
  std::uint32_t lastReadAddress_ = 0;
  unsigned lastReadWidth_ = 4;
  std::uint32_t lastReadValue_ = 0;
  std::uint64_t lastReadAt_ = ~std::uint64_t{0};
  std::uint64_t lastReadTaken_ = 0;
  bool skippable_ = false;  // the register reads as it did at the last read
  // The skipping spent the cycles of the next poll and ran its slot's
  // events; the firmware's next access must be that poll.
  bool due_ = false;
};

}  // namespace sim
