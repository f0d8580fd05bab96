// How much faster than the board the virtual board runs the firmware: whole
// scripted runs of tl500-sim, as users and CI run them.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

void runScript(benchmark::State& state, const char* script, double virtualSeconds) {
  std::string command = std::string(TL500_SIM_PATH) + " --script " + TL500_BENCH_DIR + "/" + script + " >/dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("tl500-sim failed");
      return;
    }
  }
  // Virtual seconds run per wall-clock second.
  state.counters["virtual_s_per_s"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

// Power-on to the menu (about 2.5 s of board time, mostly console output and
// the light show), then 10 s of the idle main loop.
void PowerOnThenIdle(benchmark::State& state) { runScript(state, "power_on_idle.tlscript", 12.5); }
BENCHMARK(PowerOnThenIdle)->Unit(benchmark::kMillisecond)->UseRealTime();

// The LED test five times: 11 s of delays on the 1 ms tick with menu output.
void LedTests(benchmark::State& state) { runScript(state, "led_tests.tlscript", 13.5); }
BENCHMARK(LedTests)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
