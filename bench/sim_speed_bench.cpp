// How much faster than the board the virtual board runs the firmware: whole
// scripted runs of tl500-sim, as users and CI run them, process start
// included. The board time of each run is read from the run's own --stats
// output, never assumed.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "sim/program/run_stats.h"

namespace {

// Runs tl500-sim with `args` and returns the virtual seconds the run took;
// nullopt when it failed or printed no figures. The program is started
// directly, as a user's shell starts it, with no shell of its own in between:
// the wall time is the program's, process start included. Its console goes to
// /dev/null, its standard error (the figures) into a pipe read here.
std::optional<double> runOnce(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(TL500_SIM_PATH));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, TL500_SIM_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string output;
  if (spawned == 0) {
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      output.append(buf, static_cast<std::size_t>(n));
    }
  }
  close(fds[0]);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return sim::parseStatsVirtualSeconds(output);
}

void runScript(benchmark::State& state, const char* script) {
  const std::vector<std::string> args{"--stats", "--script", std::string(TL500_BENCH_DIR) + "/" + script};
  double virtualSeconds = 0;
  for (auto _ : state) {
    std::optional<double> took = runOnce(args);
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
