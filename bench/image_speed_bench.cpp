// How fast the emulated core runs: emulated instructions per second on
// straight code, and virtual seconds per wall-clock second for the board
// image idle in its main menu, in the console-heavy run and printing back to
// back. Every figure is read from the run itself (the core's instruction
// count, the board's clock).
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/image_loader.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"

namespace {

// Runs the core until the board stops the run (the script's end).
void runToStop(sim::CortexM3& core) {
  try {
    core.run();
  } catch (const sim::Stop&) {
  }
}

// Runs `text` to its end; false (and the reason in `why`) when it did not
// complete: a figure from a failed run would mean nothing.
bool runScript(sim::Board& board, sim::CortexM3& core, const std::string& text, std::string* why = nullptr) {
  sim::ScriptRunner runner(board, sim::parseScript(text, "bench"));
  try {
    runner.start();
    core.run();
  } catch (const sim::Stop& stop) {
    if (stop.kind() == sim::StopKind::Completed) return true;
    if (why != nullptr) *why = stop.what();
    return false;
  }
  if (why != nullptr) *why = "the image ended before the script";
  return false;
}

// A hundred register additions and a branch back, over and over: no memory,
// no registers of the board, never a wait loop.
void StraightCode(benchmark::State& state) {
  sim::BoardImage image;
  std::uint32_t sp = 0x20004000u, reset = 0x08000101u;
  std::memcpy(&image.flash[0], &sp, 4);
  std::memcpy(&image.flash[4], &reset, 4);
  std::uint32_t at = 0x100;
  for (int i = 0; i < 100; ++i, at += 2) {
    image.flash[at] = 0x01;  // adds r0, #1
    image.flash[at + 1] = 0x30;
  }
  std::int32_t back = (0x100 - static_cast<std::int32_t>(at + 4)) / 2;
  image.flash[at] = static_cast<std::uint8_t>(back & 0xFF);  // b to the first add
  image.flash[at + 1] = static_cast<std::uint8_t>(0xE0 | ((back >> 8) & 0x07));
  image.flashUsed = at + 2;
  image.stackBottom = 0x20003C00u;
  image.stackTop = sp;
  std::uint64_t instructions = 0;
  for (auto _ : state) {
    sim::Board board;
    sim::CortexM3 core(board, image);
    board.clock().at(sim::seconds(50), [] { throw sim::Stop(sim::StopKind::Completed, "done"); });
    runToStop(core);
    instructions += core.instructions();
  }
  state.counters["instructions_per_s"] = benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}
BENCHMARK(StraightCode)->Unit(benchmark::kMillisecond);

// Runs `script` on the image after power-on to the menu; the figure is the
// virtual time of the script per wall-clock second.
void ImageAfterMenu(benchmark::State& state, const std::string& script) {
  sim::BoardImage image;
  try {
    image = sim::loadImage(TL500_IMAGE_PATH);
  } catch (const sim::ImageError& e) {
    state.SkipWithError(e.what());
    return;
  }
  double virtualSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto board = std::make_unique<sim::Board>(sim::BoardConfig{});
    auto core = std::make_unique<sim::CortexM3>(*board, image);
    std::string why;
    if (!runScript(*board, *core, "wait console \"x> quit\\r\\n\\r\\n\"\n", &why)) {
      state.SkipWithError(why.c_str());
      return;
    }
    sim::Time start = board->clock().now();
    state.ResumeTiming();
    bool done = runScript(*board, *core, script, &why);
    virtualSeconds += sim::toSeconds(board->clock().now() - start);
    if (!done) {
      state.SkipWithError(why.c_str());
      return;
    }
  }
  state.counters["virtual_s_per_s"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
}

// The main menu with no key pressed: the main loop and the 1 ms tick.
void IdleMainMenu(benchmark::State& state) { ImageAfterMenu(state, "run 60s\n"); }
BENCHMARK(IdleMainMenu)->Unit(benchmark::kMillisecond);

// Console-heavy work as the host build's benchmark measures it, from power-on:
// key 0 fifty times, key 1 five times (bench/console_heavy.tlscript, 14.7 s of
// board time, a fifth of it printing).
void ConsoleHeavy(benchmark::State& state) {
  sim::BoardImage image;
  std::string text;
  try {
    image = sim::loadImage(TL500_IMAGE_PATH);
    std::ifstream in(std::string(TL500_BENCH_DIR) + "/console_heavy.tlscript");
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const sim::ImageError& e) {
    state.SkipWithError(e.what());
    return;
  }
  if (text.empty()) {
    state.SkipWithError("cannot read console_heavy.tlscript");
    return;
  }
  double virtualSeconds = 0;
  for (auto _ : state) {
    sim::Board board;
    sim::CortexM3 core(board, image);
    std::string why;
    if (!runScript(board, core, text, &why)) {
      state.SkipWithError(why.c_str());
      return;
    }
    virtualSeconds += sim::toSeconds(board.clock().now());
  }
  state.counters["virtual_s_per_s"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(ConsoleHeavy)->Unit(benchmark::kMillisecond);

// Nothing but printing: key 0 twenty times back to back, the system
// information printed character by character with the transmit flag polled,
// as fast as the line takes it.
void PrintingBackToBack(benchmark::State& state) {
  std::string script = "send console \"00000000000000000000\"\n";
  for (int i = 0; i < 20; ++i) script += "wait console \"PCLK2_Frequency  = 32000000\\r\\n\"\n";
  ImageAfterMenu(state, script);
}
BENCHMARK(PrintingBackToBack)->Unit(benchmark::kMillisecond);

}  // namespace
