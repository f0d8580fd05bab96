// Timing tolerances: nominal without a seed, reproducible and spread with one.
#include "sim/core/timing_tolerances.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using sim::TimingTolerances;

TEST(TimingTolerances, WithoutASeedEveryDrawIsTheTypicalValue) {
  TimingTolerances nominal;
  EXPECT_TRUE(nominal.nominal());
  EXPECT_EQ(nominal.fixed("bh1750.conversion", 120, 100, 180), 120u);
  EXPECT_EQ(nominal.fixedPpm("crystal", 50.0), 0.0);
  auto gaps = nominal.stream("console.gap");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(gaps.draw(0, 0, 30), 0u);
}

TEST(TimingTolerances, TheSameSeedAndNameGiveTheSameDrawsWhateverElseWasDrawn) {
  TimingTolerances a{42};
  TimingTolerances b{42};
  (void)b.fixed("something.else", 0, 0, 1000);
  EXPECT_EQ(a.fixed("htu21.temperature", 44, 44, 50), b.fixed("htu21.temperature", 44, 44, 50));
  auto sa = a.stream("zigbee.gap");
  auto sb = b.stream("zigbee.gap");
  for (int i = 0; i < 100; ++i) EXPECT_EQ(sa.between(0, 1000), sb.between(0, 1000));
}

TEST(TimingTolerances, DrawsStayInTheirRangeAndCoverIt) {
  std::set<std::uint64_t> seen;
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    TimingTolerances t{seed};
    std::uint64_t v = t.fixed("bh1750.conversion", 120, 120, 180);
    ASSERT_GE(v, 120u);
    ASSERT_LE(v, 180u);
    seen.insert(v);
    double ppm = t.fixedPpm("crystal", 50.0);
    ASSERT_GE(ppm, -50.0);
    ASSERT_LE(ppm, 50.0);
  }
  EXPECT_GT(seen.size(), 50u);
  EXPECT_TRUE(seen.count(120) || seen.count(121));
  EXPECT_TRUE(seen.count(180) || seen.count(179));
}

TEST(TimingTolerances, DifferentSeedsAndNamesGiveDifferentDraws) {
  TimingTolerances a{1};
  TimingTolerances b{2};
  EXPECT_NE(a.fixed("x", 0, 0, 1'000'000'000), b.fixed("x", 0, 0, 1'000'000'000));
  EXPECT_NE(a.fixed("x", 0, 0, 1'000'000'000), a.fixed("y", 0, 0, 1'000'000'000));
}

}  // namespace
