// The pressure test's averaged measurement, whole: 1000 printed averages of
// 1000 samples, each sample a register write and a three-byte read on I2C1
// and a 1 ms pause (over 16 minutes of board time). The firmware runs in this
// process on the virtual board; the board time and the printed lines are read
// from the run itself.
#include <benchmark/benchmark.h>

#include <string>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/host/firmware_vectors.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"

int tl500_firmware_main();

namespace {

// x is typed during the measurement; the test takes it only afterwards.
constexpr const char kScript[] = R"(wait console "x> quit\r\n\r\n"
send console "9"
wait console "x> quit\r\n\r\n"
send console "1"
wait console "Pressure: "
send console "x"
wait console "x is selected\r\n" within 30min
)";

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void WholeAveragedPressureMeasurement(benchmark::State& state) {
  double boardSeconds = 0;
  std::size_t lines = 0;
  for (auto _ : state) {
    sim::Board board{sim::BoardConfig{.crystal = true, .vectors = sim::firmwareVectors()}};
    sim::ScriptRunner runner(board, sim::parseScript(kScript, "pressure_average"));
    try {
      runner.start();
      tl500_firmware_main();
      state.SkipWithError("the firmware's main returned during the measurement");
      return;
    } catch (const sim::Stop& stop) {
      if (stop.kind() != sim::StopKind::Completed) {
        state.SkipWithError(stop.what());
        return;
      }
    }
    boardSeconds = sim::toSeconds(board.clock().now());
    lines = count(board.console().received(), "Pressure: ");
  }
  state.counters["board_s"] = boardSeconds;
  state.counters["pressure_lines"] = static_cast<double>(lines);
  state.counters["board_s_per_s"] = benchmark::Counter(boardSeconds, benchmark::Counter::kIsIterationInvariantRate);
}
// One run is over 16 minutes of board time; the firmware's globals are not
// reset between runs, so one iteration it is.
BENCHMARK(WholeAveragedPressureMeasurement)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
