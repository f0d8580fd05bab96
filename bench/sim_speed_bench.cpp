// How much faster than the board the virtual board runs the firmware: whole
// scripted runs of tl500-sim, as users and CI run them, process start
// included. The board time of each run is read from the run's own --stats
// output, never assumed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>
#include <string>

#include "sim/core/run_stats.h"

namespace {

// Runs one script and returns the virtual seconds the run took; nullopt when
// tl500-sim failed or printed no figures.
std::optional<double> runOnce(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe) != nullptr) output += buf;
  if (pclose(pipe) != 0) return std::nullopt;
  return sim::parseStatsVirtualSeconds(output);
}

void runScript(benchmark::State& state, const char* script) {
  // Standard error (the figures) into the pipe, the console to nowhere.
  std::string command =
      std::string(TL500_SIM_PATH) + " --stats --script " + TL500_BENCH_DIR + "/" + script + " 2>&1 >/dev/null";
  double virtualSeconds = 0;
  for (auto _ : state) {
    std::optional<double> took = runOnce(command);
    if (!took) {
      state.SkipWithError("tl500-sim failed or printed no figures");
      return;
    }
    virtualSeconds += *took;
  }
  // Virtual seconds run per wall-clock second, and the board time of one run.
  state.counters["board_x"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
  state.counters["board_s"] = virtualSeconds / static_cast<double>(state.iterations());
}

// Power-on to the main menu, then 100 minutes of the idle main loop: one 1 ms
// tick after another with nothing to print.
void IdleMainMenu(benchmark::State& state) { runScript(state, "idle_main_menu.tlscript"); }
BENCHMARK(IdleMainMenu)->Unit(benchmark::kMillisecond)->UseRealTime();

// Console-heavy: key 0 (banner and clock lines) fifty times, then the LED test
// five times; the firmware polls TXE for every character it prints.
void ConsoleHeavy(benchmark::State& state) { runScript(state, "console_heavy.tlscript"); }
BENCHMARK(ConsoleHeavy)->Unit(benchmark::kMillisecond)->UseRealTime();

// Power-on to the first menu: the wall time of one iteration is what a user
// waits for, process start included.
void PowerOnToMenu(benchmark::State& state) { runScript(state, "power_on_to_menu.tlscript"); }
BENCHMARK(PowerOnToMenu)->Unit(benchmark::kMillisecond)->UseRealTime();

// Power-on, then 10 s of the idle main loop.
void PowerOnThenIdle(benchmark::State& state) { runScript(state, "power_on_idle.tlscript"); }
BENCHMARK(PowerOnThenIdle)->Unit(benchmark::kMillisecond)->UseRealTime();

// The LED test five times: 11 s of delays on the 1 ms tick with menu output.
void LedTests(benchmark::State& state) { runScript(state, "led_tests.tlscript"); }
BENCHMARK(LedTests)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
