// The virtual clock: event order, cycle counting across clock changes, limits.
#include "sim/core/clock.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/core/stop.h"

namespace {

using sim::Clock;
using sim::milliseconds;

TEST(VirtualClock, EventsDueAtTheSameTimeRunInTheOrderTheyWereScheduled) {
  Clock clock;
  std::string order;
  clock.at(milliseconds(2), [&] { order += 'c'; });
  clock.at(milliseconds(1), [&] { order += 'a'; });
  clock.at(milliseconds(1), [&] { order += 'b'; });
  clock.advanceTo(milliseconds(3));
  EXPECT_EQ(order, "abc");
  EXPECT_EQ(clock.now(), milliseconds(3));
}

TEST(VirtualClock, SameTimeEventsKeepTheirOrderThroughCancellationsAndEarlierEventsRunningFirst) {
  // Events taken out of the middle of the queue (run or cancelled) must not
  // disturb the order of those left, however the queue stores them.
  Clock clock;
  std::string order;
  std::vector<Clock::EventId> ids;
  for (char c = 'a'; c <= 'h'; ++c) {
    clock.at(milliseconds(5), [&order, c] { order += c; });
    ids.push_back(clock.at(milliseconds(c - 'a' + 1), [&order] { order += '.'; }));
  }
  clock.cancel(ids[1]);
  clock.cancel(ids[6]);
  Clock::EventId late = clock.at(milliseconds(5), [&order] { order += 'X'; });
  clock.at(milliseconds(5), [&] {
    order += 'i';
    clock.after(0, [&order] { order += 'j'; });  // after everything due now
  });
  clock.cancel(late);
  clock.advanceTo(milliseconds(5));
  // 2 ms and 7 ms were cancelled; the 5 ms one was scheduled between e and f.
  EXPECT_EQ(order, "...abcde.fghij");
  EXPECT_FALSE(clock.hasEvents() && clock.nextEventTime() <= milliseconds(5));
  clock.advanceTo(milliseconds(10));
  EXPECT_EQ(order, "...abcde.fghij..");
}

TEST(VirtualClock, AnEventScheduledForNowByAnotherEventStillRunsNow) {
  Clock clock;
  std::string order;
  clock.at(milliseconds(1), [&] {
    order += 'a';
    clock.after(0, [&] { order += 'b'; });
  });
  clock.at(milliseconds(2), [&] { order += 'c'; });
  ASSERT_TRUE(clock.runToNextEvent());
  EXPECT_EQ(order, "ab");
  EXPECT_EQ(clock.now(), milliseconds(1));
}

// A repeating event must interleave with others exactly as an event that
// re-schedules itself at each run does: same times, same order at equal times.
TEST(VirtualClock, ARepeatingEventRunsInTheOrderOfOneThatReschedulesItself) {
  auto run = [](bool repeating) {
    Clock clock;
    std::string order;
    std::function<void()> tick;
    int ticks = 0;
    tick = [&] {
      order += 't';
      if (++ticks == 4 && repeating) clock.cancel(clock.repeatId());
      if (!repeating && ticks < 4) clock.at(clock.now() + milliseconds(2), tick);
      // Others due with the next tick: scheduled after it, so they run after it.
      clock.at(clock.now() + milliseconds(2), [&] { order += 'a'; });
    };
    if (repeating) {
      clock.every(milliseconds(1), milliseconds(2), tick);
    } else {
      clock.at(milliseconds(1), tick);
    }
    clock.at(milliseconds(3), [&] { order += 'b'; });  // scheduled before the first tick ran
    clock.at(milliseconds(5), [&] { order += 'c'; });
    clock.advanceTo(milliseconds(20));
    return order;
  };
  EXPECT_EQ(run(true), run(false));
  EXPECT_EQ(run(true), "tbtactataa");
}

TEST(VirtualClock, ARepeatingEventStopsWhenItsNextRunIsCancelled) {
  Clock clock;
  int ticks = 0;
  Clock::EventId next = clock.every(milliseconds(1), milliseconds(1), [&] {
    ++ticks;
    next = clock.repeatId();
  });
  clock.advanceTo(milliseconds(3));
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(clock.pending(next));
  EXPECT_EQ(clock.timeOf(next), milliseconds(4));
  clock.cancel(next);
  clock.advanceTo(milliseconds(10));
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(clock.hasEvents());
}

TEST(VirtualClock, ACancelledEventNeverRuns) {
  Clock clock;
  bool ran = false;
  Clock::EventId id = clock.after(milliseconds(1), [&] { ran = true; });
  EXPECT_TRUE(clock.pending(id));
  clock.cancel(id);
  EXPECT_FALSE(clock.pending(id));
  EXPECT_FALSE(clock.runToNextEvent());
  EXPECT_FALSE(ran);
}

TEST(VirtualClock, SpendingCyclesRunsTheEventsThatFallDueOnTheWay) {
  Clock clock;
  clock.setCoreHz(32'000'000);
  int ran = 0;
  clock.at(sim::cyclesToTime(100, 32'000'000), [&] { ++ran; });
  clock.spendCycles(99);
  EXPECT_EQ(ran, 0);
  clock.spendCycles(1);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(clock.cycles(), 100u);
}

TEST(VirtualClock, CyclesAreCountedAtTheCoreClockInForceAtEachMoment) {
  Clock clock;  // MSI after reset
  clock.advanceTo(sim::milliseconds(1));
  EXPECT_EQ(clock.cycles(), 2'097u);  // 2,097.152 cycles in 1 ms; the fraction is carried
  clock.setCoreHz(32'000'000);
  std::uint64_t before = clock.cycles();
  clock.advanceTo(clock.now() + sim::milliseconds(1));
  EXPECT_EQ(clock.cycles() - before, 32'000u);
}

TEST(VirtualClock, EveryBoardClockCountsItsExactFrequencyInOneSecond) {
  std::vector<std::uint32_t> sources{16'000'000, 12'000'000, 32'000'000};
  for (unsigned range = 0; range <= 6; ++range) sources.push_back(65'536u << range);  // MSI ranges
  for (std::uint32_t source : sources) {
    for (std::uint32_t divider = 1; divider <= 16; divider *= 2) {
      const std::uint32_t hz = source / divider;
      SCOPED_TRACE(std::to_string(hz) + " Hz");
      EXPECT_TRUE(sim::exactClock(hz));
      Clock clock;
      clock.setCoreHz(hz);
      clock.advanceTo(sim::seconds(1));
      EXPECT_EQ(clock.cycles(), hz);
    }
  }
}

// Time kept outside the board, counted on the board's clock: exact to the
// quantum, unchanged when the board's oscillator is exact, never wrapping.
TEST(VirtualClock, AnOutsideSpanIsScaledByTheBoardOscillatorsErrorToTheNearestQuantum) {
  Clock clock;
  EXPECT_EQ(clock.outside(sim::seconds(2)), sim::seconds(2));
  clock.setOscillatorError(50'000);  // +50 ppm: the board counts more of its seconds
  EXPECT_EQ(clock.outside(sim::seconds(2)), sim::seconds(2) + sim::microseconds(100));
  clock.setOscillatorError(-30'000'000);  // -3 %
  EXPECT_EQ(clock.outside(sim::milliseconds(100)), sim::milliseconds(97));
  clock.setOscillatorError(1);  // 1 ppb of 3 quanta rounds to nothing, of 2 s to 6,291 quanta
  EXPECT_EQ(clock.outside(3), 3u);
  EXPECT_EQ(clock.outside(sim::seconds(2)), sim::seconds(2) + 6'291u);
  clock.setOscillatorError(30'000'000);
  EXPECT_EQ(clock.outside(sim::kMaxDuration), sim::kMaxDuration);
  // The same span at another error, and back: each scaled by the error now.
  for (int round = 0; round < 2; ++round) {
    clock.setOscillatorError(50'000);
    EXPECT_EQ(clock.outside(sim::seconds(2)), sim::seconds(2) + sim::microseconds(100));
    clock.setOscillatorError(-50'000);
    EXPECT_EQ(clock.outside(sim::seconds(2)), sim::seconds(2) - sim::microseconds(100));
  }
}

TEST(VirtualTime, DaysOfVirtualTimeFitAndFormat) {
  const sim::Time twoMonths = sim::seconds(60ull * 24 * 3600);
  EXPECT_EQ(twoMonths / sim::seconds(1), 60ull * 24 * 3600);
  EXPECT_EQ(sim::formatTime(twoMonths), "5184000.000000 s");
  sim::Time t = 0;
  ASSERT_EQ(sim::parseDuration("86400s", t), sim::DurationError::None);
  EXPECT_EQ(t, sim::seconds(86400));
}

TEST(VirtualClock, PassingTheLimitStopsTheRunAtTheLimit) {
  Clock clock;
  clock.setLimit(milliseconds(5));
  clock.at(milliseconds(10), [] {});
  try {
    clock.runToNextEvent();
    FAIL() << "the limit did not stop the run";
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::TimeLimit);
  }
  EXPECT_EQ(clock.now(), milliseconds(5));
}

TEST(VirtualTime, DurationsParseInTheUnitsScriptsUse) {
  sim::Time t = 0;
  ASSERT_TRUE(sim::parseDurationOk("250us", t));
  EXPECT_EQ(t, sim::microseconds(250));
  ASSERT_TRUE(sim::parseDurationOk("1.5s", t));
  EXPECT_EQ(t, milliseconds(1500));
  ASSERT_TRUE(sim::parseDurationOk("2min", t));
  EXPECT_EQ(t, sim::seconds(120));
  EXPECT_FALSE(sim::parseDurationOk("10", t));
  EXPECT_FALSE(sim::parseDurationOk("-1s", t));
  EXPECT_FALSE(sim::parseDurationOk("1h", t));
  EXPECT_FALSE(sim::parseDurationOk("nans", t));
}

TEST(VirtualTime, ADurationIsWhollyANumberAndAUnitAndNeverWraps) {
  using sim::DurationError;
  sim::Time t = 0;
  EXPECT_EQ(sim::parseDuration("1e3ms", t), DurationError::None);
  EXPECT_EQ(t, sim::seconds(1));
  EXPECT_EQ(sim::parseDuration(".5s", t), DurationError::None);
  EXPECT_EQ(t, milliseconds(500));
  // Anything after the unit, a NUL byte included, spoils the word.
  EXPECT_EQ(sim::parseDuration(std::string_view("1s\0garbage", 10), t), DurationError::NotADuration);
  for (const char* bad : {" 1s", "1 s", "0x10s", "infs", "1e s", "1.2.3s", "+1s", "s"}) {
    EXPECT_EQ(sim::parseDuration(bad, t), DurationError::NotADuration) << bad;
  }
  // 2^63 quanta and more do not fit; the largest accepted is just below.
  EXPECT_EQ(sim::parseDuration("1e9s", t), DurationError::TooLong);
  EXPECT_EQ(sim::parseDuration("2932032s", t), DurationError::TooLong);
  EXPECT_EQ(sim::parseDuration("1e400s", t), DurationError::TooLong);
  ASSERT_EQ(sim::parseDuration("2932031s", t), DurationError::None);
  EXPECT_EQ(t, sim::seconds(2932031));
  EXPECT_EQ(sim::maxDurationText(), "2932031s");
}

}  // namespace
