// How much faster than the board the virtual board runs the firmware: whole
// scripted runs of tl500-sim, as users and CI run them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

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
