#include "fast_forward.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

std::uint64_t FastForward::iterationsBeforeEvent(std::uint64_t cycles, std::uint64_t most) const {
  if (!clock_.hasEvents()) return most;
  const Time next = clock_.nextEventTime();
  const Time now = clock_.now();
  if (next <= now) return 0;
  const Time iteration = clock_.quantaPerCoreCycle() * static_cast<Time>(cycles);
  return std::min<std::uint64_t>(most, static_cast<std::uint64_t>((next - now - 1) / iteration));
}

std::uint64_t FastForward::cyclesToNextEvent() const {
  if (!clock_.hasEvents()) return std::uint64_t{1} << 40;
  const Time next = clock_.nextEventTime();
  const Time now = clock_.now();
  if (next <= now) return 1;
  const Time perCycle = clock_.quantaPerCoreCycle();
  return static_cast<std::uint64_t>((next - now + perCycle - 1) / perCycle);
}

bool FastForward::eventWithin(std::uint64_t cycles) const {
  return clock_.hasEvents() &&
         clock_.nextEventTime() <= clock_.now() + static_cast<Time>(cycles) * clock_.quantaPerCoreCycle();
}

void FastForward::spend(std::uint64_t cycles) {
  std::uint64_t left = cycles;
  while (left > 0) {
    const auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, 1u << 30));
    clock_.spendCycles(step);
    left -= step;
  }
}

std::uint64_t FastForward::passableByCount(std::uint32_t count) {
  constexpr std::uint32_t kSign = 0x80000000u;
  std::uint64_t byCount = count > 1u ? count - 1u : 0u;
  if (count >= kSign) byCount = count > kSign + 1u ? std::min<std::uint64_t>(byCount, count - (kSign + 1u)) : 0;
  return byCount;
}

void PollLoops::read(std::uint32_t address, unsigned width, std::uint32_t value, bool handlerAfter) {
  lastReadAddress_ = address;
  lastReadWidth_ = width;
  lastReadValue_ = value;
  lastReadAt_ = accesses_;
  lastReadTaken_ = interrupts_.taken();
  skippable_ = !handlerAfter;
}

bool PollLoops::isPoll(std::uint32_t address, unsigned width) const {
  return lastReadAt_ == accesses_ && lastReadTaken_ == interrupts_.taken() && address == lastReadAddress_ &&
         width == lastReadWidth_;
}

bool PollLoops::takeDue(std::uint32_t address, unsigned width) {
  if (!due_) return false;
  due_ = false;
  if (address != lastReadAddress_ || width != lastReadWidth_) {
    throw std::logic_error("a skipped poll loop went on with another access than its poll");
  }
  return true;
}

void PollLoops::checkNoneDue(const char* what) const {
  if (due_) throw std::logic_error(what);
}

std::uint32_t PollLoops::skip(std::uint32_t more, std::uint32_t pollCycles, bool seeded,
                              const std::function<void(std::uint32_t, unsigned, std::uint32_t)>& polled) {
  // Only straight after the read: no access, no handler and no idle since.
  if (more == 0 || !skippable_ || lastReadAt_ != accesses_ || lastReadTaken_ != interrupts_.taken()) return 0;
  // The register's model and its clock gate do not change while the firmware
  // only polls: clock enables and resets are the firmware's own writes.
  // A handler taken during the skipping makes reads of its own: the poll's
  // register, value and the exceptions taken so far are kept here.
  const std::uint32_t address = lastReadAddress_;
  const unsigned width = lastReadWidth_;
  const std::uint32_t value = lastReadValue_;
  const std::uint64_t taken = interrupts_.taken();
  std::uint32_t offset = 0;
  Peripheral* model = bus_.steadyModel(address, offset);
  if (model == nullptr) return 0;
  const FastForward forward(clock_);
  std::uint32_t done = 0;
  while (done < more) {
    // Poll j (j = 1, 2, ...) comes j poll slots from now and sees every event
    // due by then; those before the next event's time all read what the last
    // read did, and nothing pended may be taken meanwhile (it would have been
    // taken after that read). An event may change the core clock: the slot is
    // taken afresh each time.
    const std::uint64_t left = more - done;
    const std::uint64_t unchanged = forward.iterationsBeforeEvent(pollCycles, left);
    const bool lastPolls = unchanged == left;  // the loop's polls end before the event
    // Then the poll in whose slot the event falls, in the same stretch of time.
    const Time slot = clock_.quantaPerCoreCycle() * pollCycles;
    const Time now = clock_.now();
    const Time span = static_cast<Time>(unchanged + (lastPolls ? 0 : 1)) * slot;
    // The polls before the event are made whatever the event does (it may
    // end the run); past the run's time limit only those before it count, as
    // when each is made (the limit ends the run inside the next one).
    std::uint64_t made = unchanged;
    if (span > clock_.limit() - now) made = std::min<std::uint64_t>(made, (clock_.limit() - now) / slot);
    skipped_ += made;
    clock_.spendTime(span);
    // What a handler taken now interrupted last is the poll, as one by one.
    if (unchanged > 0) polled(address, width, value);
    done += static_cast<std::uint32_t>(unchanged);
    if (lastPolls) break;
    // With a seed, an interrupt the events pended may be taken before the
    // poll's read: the firmware's own read decides, as it would one by one.
    if (seeded && interrupts_.nextToTake() >= 0) {
      due_ = true;
      break;
    }
    // The events have run, and the board reads the register as the poll
    // would. The same value means the poll failed as the last one did (a
    // steady read twice has the effect of one); a change is left for the
    // firmware to read at this very moment.
    if (model->read(offset, width) != value) {
      due_ = true;
      break;
    }
    ++done;
    ++skipped_;  // counted as it is made: a run may end in the next event
    polled(address, width, value);
    interrupts_.takePending();
    if (interrupts_.taken() != taken) {
      // A handler ran after this poll. As after the firmware's own read, the
      // poll is its last read, whatever the handler read: the loop's next
      // read is a poll again (with a seed, of the poll's cost), and is made.
      read(address, width, value, true);
      break;
    }
    // The events and this read may have left the model in a state whose
    // reads are no longer steady (a clearing sequence half done, a flag no
    // event announces): the polls after it are made one by one.
    if (!model->steadyRead(offset)) break;
  }
  return done;
}

}  // namespace sim
