// How far a loop that only an event can end may pass at once: never into the
// iteration in which the event falls, never past what the loop's own count
// allows, and polls passed at once end where polling one by one would have.
#include "sim/core/fast_forward.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using sim::FastForward;
using sim::Time;

constexpr std::uint32_t kHz = 32'000'000;

struct Fixture {
  Fixture() { clock.setCoreHz(kHz); }
  Time cycles(std::uint64_t n) const { return static_cast<Time>(n) * clock.quantaPerCoreCycle(); }
  sim::Clock clock;
  FastForward forward{clock};
};

TEST(FastForward, IterationsPassOnlyUpToTheOneTheNextEventFallsIn) {
  // The event at a whole number of iterations from now, and between two.
  for (std::uint64_t offset : {1u, 7u, 20u, 21u, 22u, 700u}) {
    SCOPED_TRACE(offset);
    Fixture f;
    f.clock.spendCycles(3);
    bool ran = false;
    f.clock.after(f.cycles(offset), [&ran] { ran = true; });
    constexpr std::uint64_t kIteration = 7;
    const std::uint64_t k = f.forward.iterationsBeforeEvent(kIteration);
    f.forward.pass(k, kIteration);
    EXPECT_FALSE(ran) << "an iteration passed at once saw the event";
    // The next iteration, run as usual, reaches the event.
    EXPECT_LE(f.clock.nextEventTime() - f.clock.now(), f.cycles(kIteration));
  }
}

TEST(FastForward, IterationsAreBoundedByTheLoopAndByTheEventsLeft) {
  Fixture f;
  EXPECT_EQ(f.forward.iterationsBeforeEvent(5, 12), 12u) << "no event: the loop's own bound";
  f.clock.after(f.cycles(1000), [] {});
  EXPECT_EQ(f.forward.iterationsBeforeEvent(5, 12), 12u);
  EXPECT_EQ(f.forward.iterationsBeforeEvent(5), 199u);
  f.clock.advanceTo(f.clock.nextEventTime() - 1);
  f.clock.after(0, [] {});
  EXPECT_TRUE(f.forward.eventDue());
  EXPECT_EQ(f.forward.iterationsBeforeEvent(1), 0u) << "an event due now ends every loop";
}

TEST(FastForward, CyclesToTheNextEventRoundUpToTheFirstBoundaryAtOrPastIt) {
  Fixture f;
  EXPECT_GT(f.forward.cyclesToNextEvent(), std::uint64_t{1} << 32) << "none left: a very long way";
  f.clock.after(f.cycles(10), [] {});
  EXPECT_EQ(f.forward.cyclesToNextEvent(), 10u);
  EXPECT_TRUE(f.forward.eventWithin(10));
  EXPECT_FALSE(f.forward.eventWithin(9));
  f.clock.advanceTo(f.clock.now() + 1);  // a part of a cycle on
  EXPECT_EQ(f.forward.cyclesToNextEvent(), 10u);
  f.clock.advanceTo(f.clock.nextEventTime() - 1);
  EXPECT_EQ(f.forward.cyclesToNextEvent(), 1u);
}

TEST(FastForward, ACountedLoopKeepsItsLastIterationAndTheSignCrossing) {
  EXPECT_EQ(FastForward::passableByCount(0), 0u);
  EXPECT_EQ(FastForward::passableByCount(1), 0u);
  EXPECT_EQ(FastForward::passableByCount(2), 1u);
  EXPECT_EQ(FastForward::passableByCount(100'000), 99'999u);
  EXPECT_EQ(FastForward::passableByCount(0x7FFFFFFFu), 0x7FFFFFFEu);
  // Counting down through 0x80000000 changes the flags an iteration leaves:
  // the iterations from there on run.
  EXPECT_EQ(FastForward::passableByCount(0x80000000u), 0u);
  EXPECT_EQ(FastForward::passableByCount(0x80000001u), 0u);
  EXPECT_EQ(FastForward::passableByCount(0x80000005u), 4u);
  EXPECT_EQ(FastForward::passableByCount(0xFFFFFFFFu), 0x7FFFFFFEu);
}

// A status register whose flag only a clock event sets.
class Flag : public sim::Peripheral {
 public:
  std::string name() const override { return "flag"; }
  std::uint32_t read(std::uint32_t, unsigned) override {
    ++reads;
    return value;
  }
  void write(std::uint32_t, unsigned, std::uint32_t) override {}
  bool steadyRead(std::uint32_t) const override { return true; }
  std::uint32_t value = 0;
  unsigned reads = 0;
};

constexpr std::uint32_t kBase = 0x40007C00u;
constexpr std::uint32_t kPollCycles = 6;

// The flag on a bus at kBase, the core at 32 MHz, and the poll-loop detector
// watching the accesses counted in `accesses`.
struct FlagOnBus {
  explicit FlagOnBus(std::uint64_t accessesBefore) : accesses(accessesBefore) {
    clock.setCoreHz(kHz);
    bus.map(kBase, 0x400, flag);
  }
  sim::Clock clock;
  sim::InterruptController interrupts{clock, {}};
  sim::Bus bus;
  Flag flag;
  std::uint64_t accesses;
  sim::PollLoops polls{clock, interrupts, bus, accesses};
};

void ignoreRead(std::uint32_t, unsigned, std::uint32_t) {}

struct PollRun {
  std::optional<std::uint32_t> foundAfter;  // polls, skipped ones included
  Time at = 0;
};

// A poll loop of at most `budget` reads of the flag, each `kPollCycles` after
// the one before, with the flag set by an event `setAt` from the start.
PollRun pollFlag(bool skipping, Time setAt, std::uint32_t budget) {
  FlagOnBus on(0);
  on.clock.after(setAt, [&on] { on.flag.value = 1; });
  for (std::uint32_t done = 0; done < budget; ++done) {
    if (!on.polls.takeDue(kBase, 4)) on.clock.spendCycles(kPollCycles);
    ++on.accesses;
    const std::uint32_t value = on.bus.read(kBase, 4);
    on.polls.read(kBase, 4, value, false);
    if (value != 0) return {done, on.clock.now()};
    if (skipping) done += on.polls.skip(budget - done - 1, kPollCycles, false, ignoreRead);
  }
  return {std::nullopt, on.clock.now()};
}

TEST(HostPollLoops, SkippedPollsEndWhereAndWhenPollingOneByOneEnds) {
  const Time cycle = sim::quantaPerCycle(kHz);
  for (Time setAt : {Time{1}, 6 * kPollCycles * cycle, 6 * kPollCycles * cycle + 1, 997 * cycle, 50'000 * cycle}) {
    for (std::uint32_t budget : {1u, 2u, 100u, 10'000u}) {
      SCOPED_TRACE(testing::Message() << "flag at " << setAt << ", budget " << budget);
      const PollRun skipping = pollFlag(true, setAt, budget);
      const PollRun polling = pollFlag(false, setAt, budget);
      EXPECT_EQ(skipping.foundAfter, polling.foundAfter);
      EXPECT_EQ(skipping.at, polling.at);
    }
  }
}

TEST(HostPollLoops, APollIsOnlyTheSameReadAgainWithNothingBetween) {
  FlagOnBus on(1);
  sim::PollLoops& polls = on.polls;
  polls.read(kBase, 4, 0, false);
  EXPECT_TRUE(polls.isPoll(kBase, 4));
  EXPECT_FALSE(polls.isPoll(kBase + 4, 4));
  EXPECT_FALSE(polls.isPoll(kBase, 2));
  ++on.accesses;  // another access between
  EXPECT_FALSE(polls.isPoll(kBase, 4));
  EXPECT_EQ(polls.skip(10, kPollCycles, false, ignoreRead), 0u);
  // A handler ran right after the read: the next read is a poll, but made.
  polls.read(kBase, 4, 0, true);
  EXPECT_TRUE(polls.isPoll(kBase, 4));
  EXPECT_EQ(polls.skip(10, kPollCycles, false, ignoreRead), 0u);
  polls.read(kBase, 4, 0, false);
  polls.forget();  // the firmware idled
  EXPECT_FALSE(polls.isPoll(kBase, 4));
  EXPECT_EQ(polls.skip(10, kPollCycles, false, ignoreRead), 0u);
}

TEST(HostPollLoops, AfterASkipThatFoundTheRegisterChangedOnlyThePollMayFollow) {
  FlagOnBus on(1);
  sim::PollLoops& polls = on.polls;
  on.clock.after(100 * on.clock.quantaPerCoreCycle(), [&on] { on.flag.value = 1; });
  polls.read(kBase, 4, 0, false);
  std::uint32_t seen = 0;
  const std::uint32_t passed =
      polls.skip(1000, kPollCycles, false, [&seen](std::uint32_t, unsigned, std::uint32_t) { ++seen; });
  EXPECT_EQ(passed, 16u);  // 16 x 6 cycles end before the event at 100
  EXPECT_GE(seen, 1u);
  EXPECT_THROW(polls.checkNoneDue("went idle"), std::logic_error);
  EXPECT_THROW(polls.takeDue(kBase + 8, 4), std::logic_error);
}

}  // namespace
