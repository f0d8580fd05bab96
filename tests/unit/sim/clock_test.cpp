// The virtual clock: event order, cycle counting across clock changes, limits.
#include <gtest/gtest.h>

#include <string>

#include "sim/core/clock.h"
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
  EXPECT_EQ(sim::parseDuration("93824993s", t), DurationError::TooLong);
  EXPECT_EQ(sim::parseDuration("1e400s", t), DurationError::TooLong);
  ASSERT_EQ(sim::parseDuration("93824992s", t), DurationError::None);
  EXPECT_EQ(t, sim::seconds(93824992));
  EXPECT_EQ(sim::maxDurationText(), "93824992s");
}

}  // namespace
