// The figures tl500-sim --stats prints are what the benchmarks read back.
#include "sim/program/run_stats.h"

#include <gtest/gtest.h>

namespace {

TEST(RunStats, TheVirtualTimePrintedIsReadBackToTheNanosecondAmongOtherOutput) {
  sim::RunStats stats;
  stats.virtualTime = sim::seconds(6000) + sim::microseconds(601960);
  stats.wallSeconds = 0.2;
  stats.registerAccesses = 10252;
  stats.skippedPolls = 571074;
  std::string text = "tl500-sim: something else\n" + sim::formatRunStats(stats);
  EXPECT_NE(text.find("stats: 10252 register accesses, 571074 polls skipped"), std::string::npos);
  EXPECT_NE(text.find("30003.0x real time"), std::string::npos);
  auto seconds = sim::parseStatsVirtualSeconds(text);
  ASSERT_TRUE(seconds.has_value());
  EXPECT_NEAR(*seconds, 6000.601960, 1e-9);
  EXPECT_FALSE(sim::parseStatsVirtualSeconds("tl500-sim: no figures here\n").has_value());
}

}  // namespace
