// Blinking actuator outputs as a logic analyzer on PA4-PA7 records them: the
// TIM2 update interrupt inverts each blinking output every 0.9375 s.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "firmware_board.h"
#include "sim/trace/trace_signals.h"
#include "test_actuator.h"
#include "vcd_reader.h"

namespace {

TEST(BlinkTrace, BlinkingOutputsToggleEveryBlinkPeriodAndSteadyOnesNever) {
  FirmwareBoard fw;
  Actuator_Port_Initialization();
  g_actuator_blink_state[0] = true;
  g_actuator_blink_state[2] = true;
  std::string path = ::testing::TempDir() + "tl500_blink_" + std::to_string(getpid()) + ".vcd";
  std::string error;
  sim::Time start = 0;
  {
    sim::BoardTrace trace(fw.board, path, *sim::selectTraceSignals("actuators", error));
    start = fw.now();
    TIM_Configuration();
    Delay(4000);
    EXPECT_TRUE(trace.finish()) << trace.error();
  }
  for (auto& blink : g_actuator_blink_state) blink = false;
  VcdFile vcd = readVcd(path);
  std::remove(path.c_str());

  const std::uint64_t periodPs = 937'500'000'000ULL;
  const std::uint64_t slackPs = 20'000'000;  // 20 us: interrupt entry and the handler's own accesses
  std::uint64_t startPs = sim::VcdWriter::picoseconds(start);
  for (const char* name : {"PA4_ACT1", "PA6_ACT3"}) {
    const auto& edges = vcd.of(name);
    // The initial value, then four inversions in 4 s: high, low, high, low.
    ASSERT_EQ(edges.size(), 5u) << name;
    for (std::size_t i = 1; i < edges.size(); ++i) {
      EXPECT_EQ(edges[i].value, i % 2 == 1 ? '1' : '0') << name << " edge " << i;
      std::uint64_t nominal = startPs + i * periodPs;
      EXPECT_GE(edges[i].ps + slackPs, nominal) << name << " edge " << i;
      EXPECT_LE(edges[i].ps, nominal + slackPs) << name << " edge " << i;
    }
  }
  EXPECT_EQ(vcd.of("PA5_ACT2").size(), 1u);
  EXPECT_EQ(vcd.of("PA7_ACT4").size(), 1u);
}

}  // namespace
