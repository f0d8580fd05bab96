// The LEDs as a logic analyzer on PC7-PC9 records them: the start-up light show
// and the LED test of the main menu, edge by edge at their virtual times, and
// how long each takes. The one place for the LED sequences' timing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "firmware_board.h"
#include "led.h"
#include "sim/trace/trace_signals.h"
#include "vcd_reader.h"

namespace {

struct Edge {
  std::uint64_t ms;  // after the start of the sequence
  char value;        // '0' lit, '1' dark
};

// Records the LEDs while `sequence` runs and returns each LED's edges after the
// first value at the start, in whole milliseconds from the start (rounded),
// and how long the sequence took.
struct Recording {
  std::vector<std::vector<Edge>> leds;  // LED1, LED2, LED3
  sim::Time took = 0;
};

Recording recordLeds(void (*sequence)()) {
  FirmwareBoard fw;
  LED_Off_All();
  std::string path = ::testing::TempDir() + "tl500_leds_" + std::to_string(getpid()) + ".vcd";
  std::string error;
  sim::Time start = 0;
  Recording result;
  {
    sim::BoardTrace trace(fw.board, path, *sim::selectTraceSignals("leds", error));
    start = fw.now();
    sequence();
    result.took = fw.now() - start;
    EXPECT_TRUE(trace.finish()) << trace.error();
  }
  VcdFile vcd = readVcd(path);
  std::remove(path.c_str());
  std::uint64_t startPs = sim::VcdWriter::picoseconds(start);
  for (const char* name : {"PC7_LED1", "PC8_LED2", "PC9_LED3"}) {
    std::vector<Edge> edges;
    for (const VcdEdge& e : vcd.of(name)) {
      if (e.ps == 0) continue;  // the initial values
      EXPECT_GE(e.ps, startPs);
      edges.push_back({(e.ps - startPs + 500'000'000) / 1'000'000'000, e.value});
    }
    result.leds.push_back(edges);
  }
  return result;
}

// Each wait of the sequence is a Delay on the 1 ms tick: an edge may come up to
// 1 ms before its nominal time.
void expectEdges(const std::vector<Edge>& seen, const std::vector<Edge>& expected, const char* led) {
  ASSERT_EQ(seen.size(), expected.size()) << led;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].value, expected[i].value) << led << " edge " << i;
    EXPECT_LE(seen[i].ms, expected[i].ms) << led << " edge " << i;
    EXPECT_GE(seen[i].ms + 1, expected[i].ms) << led << " edge " << i;
  }
}

TEST(LedTrace, StartUpLightShowRunsFiveThirtyMillisecondCyclesAcrossTheLedsIn510Milliseconds) {
  Recording show = recordLeds(LedControl_forProgramStart);
  const auto& leds = show.leds;
  // Seventeen 30 ms waits, each up to 1 ms short on the tick.
  EXPECT_GE(show.took, sim::milliseconds(510 - 17));
  EXPECT_LE(show.took, sim::milliseconds(510 + 1));
  // All on, 30 ms, then five cycles of three 30 ms steps, 30 ms, all off.
  expectEdges(leds[0],
              {{0, '0'}, {60, '1'}, {120, '0'}, {150, '1'}, {210, '0'}, {240, '1'}, {300, '0'}, {330, '1'},
               {390, '0'}, {420, '1'}},
              "LED1");
  std::vector<Edge> led2{{0, '0'}, {30, '1'}};
  std::vector<Edge> led3{{0, '0'}, {30, '1'}};
  for (std::uint64_t cycle = 0; cycle < 5; ++cycle) {
    std::uint64_t t = 30 + cycle * 90;
    led2.push_back({t + 30, '0'});
    led2.push_back({t + 60, '1'});
    led3.push_back({t + 60, '0'});
    led3.push_back({t + 90 + (cycle == 4 ? 30 : 0), '1'});
  }
  expectEdges(leds[1], led2, "LED2");
  expectEdges(leds[2], led3, "LED3");
}

TEST(LedTrace, LedTestFlashesAllThenRunsThreeSlowCyclesAndEndsDarkAfter2200Milliseconds) {
  Recording test = recordLeds(LED_Test);
  const auto& leds = test.leds;
  // Thirteen waits, each up to 1 ms short on the tick; dark for the last 100 ms.
  EXPECT_GE(test.took, sim::milliseconds(2200 - 13));
  EXPECT_LE(test.took, sim::milliseconds(2200 + 1));
  expectEdges(leds[0],
              {{0, '0'}, {100, '1'}, {200, '0'}, {400, '1'}, {800, '0'}, {1000, '1'}, {1400, '0'}, {1600, '1'},
               {2000, '0'}, {2100, '1'}},
              "LED1");
  expectEdges(leds[1],
              {{0, '0'}, {100, '1'}, {400, '0'}, {600, '1'}, {1000, '0'}, {1200, '1'}, {1600, '0'}, {1800, '1'},
               {2000, '0'}, {2100, '1'}},
              "LED2");
  // LED3 stays lit from the last step of the running light through the final
  // all-on flash.
  expectEdges(leds[2],
              {{0, '0'}, {100, '1'}, {600, '0'}, {800, '1'}, {1200, '0'}, {1400, '1'}, {1800, '0'}, {2100, '1'}},
              "LED3");
}

}  // namespace
