// How much faster than the board the virtual board runs the firmware: whole
// scripted runs of tl500-sim, as users and CI run them, process start
// included. The board time of each run is read from the run's own --stats
// output, never assumed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>

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

// The cost of tracing: the LED test runs (with all their console output) with
// and without a VCD of every signal. Both runs are timed in each iteration, so
// the ratio compares like with like on a noisy machine.
void LedTestsTraceCost(benchmark::State& state) {
  std::string vcd = "/tmp/tl500_bench_" + std::to_string(getpid()) + ".vcd";
  std::string base = std::string(TL500_SIM_PATH) + " --script " + TL500_BENCH_DIR + "/led_tests.tlscript";
  std::string plain = base + " >/dev/null";
  std::string traced = base + " --vcd " + vcd + " >/dev/null";
  using Clock = std::chrono::steady_clock;
  double plainSeconds = 0, tracedSeconds = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    if (std::system(plain.c_str()) != 0) {
      state.SkipWithError("tl500-sim failed");
      return;
    }
    auto t1 = Clock::now();
    if (std::system(traced.c_str()) != 0) {
      state.SkipWithError("tl500-sim --vcd failed");
      return;
    }
    auto t2 = Clock::now();
    plainSeconds += std::chrono::duration<double>(t1 - t0).count();
    tracedSeconds += std::chrono::duration<double>(t2 - t1).count();
  }
  std::FILE* file = std::fopen(vcd.c_str(), "rb");
  long bytes = 0;
  if (file != nullptr) {
    std::fseek(file, 0, SEEK_END);
    bytes = std::ftell(file);
    std::fclose(file);
  }
  std::remove(vcd.c_str());
  auto n = static_cast<double>(state.iterations());
  state.counters["plain_ms"] = plainSeconds / n * 1e3;
  state.counters["vcd_ms"] = tracedSeconds / n * 1e3;
  state.counters["vcd_slowdown"] = plainSeconds > 0 ? tracedSeconds / plainSeconds : 0;
  state.counters["vcd_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(LedTestsTraceCost)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
