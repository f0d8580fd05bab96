// How fast the emulated core runs: emulated instructions per second on
// straight code (a synthetic loop, and a compiled program beside QEMU running
// the same), and virtual seconds per wall-clock second for the board image
// idle in its main menu, in the console-heavy run and printing back to back.
// Every figure is read from the run itself (the core's instruction count, the
// board's clock, CPU times).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/image_loader.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"
#include "qemu_run.h"
#include "straight_code_run.h"

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

// The straight-code program (bench/straight_code): CRC-32 bit by bit and by
// table, word and byte copies, multiply, divide and shift chains, compiled
// from C, about 1.1 G instructions. It runs on the emulated core in-process
// and, where qemu-system-arm is on PATH, on QEMU's Cortex-M3 as a child
// process; both must hand back the checksum the same C gives on the host.
// The figures: the core's instruction count over the CPU time of its run,
// the same count over QEMU's CPU time (the whole process, start-up included;
// qemu_start_s is that of the 8-round program, nearly all start-up), and
// QEMU's rate over the core's.
void CompiledCodeBesideQemu(benchmark::State& state) {
  bench::StraightCodeFiles full = bench::straightCodeFiles(TL500_STRAIGHT_CODE_DIR, "straight_code");
  bench::StraightCodeFiles shortRun = bench::straightCodeFiles(TL500_STRAIGHT_CODE_DIR, "straight_code_short");
  sim::BoardImage image, shortImage;
  try {
    image = sim::loadImage(full.board);
    shortImage = sim::loadImage(shortRun.board);
  } catch (const sim::ImageError& e) {
    state.SkipWithError((std::string(e.what()) + " (built by the target preset)").c_str());
    return;
  }
  std::optional<std::string> qemu = bench::findOnPath("qemu-system-arm");
  if (!qemu) {
    std::fprintf(stderr, "qemu-system-arm is not on PATH: CompiledCodeBesideQemu runs the emulated core only\n");
  }
  std::optional<bench::StraightCodeResult> reference;
  double instructions = 0, coreSeconds = 0, qemuSeconds = 0, qemuStartSeconds = 0;
  std::uint32_t checksum = 0;
  for (auto _ : state) {
    bench::StraightCodeResult core;
    try {
      core = bench::runOnCore(image);
    } catch (const std::exception& e) {
      state.SkipWithError((std::string("on the emulated core: ") + e.what()).c_str());
      return;
    }
    state.SetIterationTime(core.cpuSeconds);
    if (!reference || reference->rounds != core.rounds) reference = bench::runOnHost(core.rounds);
    if (core.exitStatus != 0 || core.failures != 0 || core.checksum != reference->checksum) {
      char why[200];
      std::snprintf(why, sizeof why, "the emulated core's run is wrong: exit status %d, %u self-checks failed, "
                    "checksum 0x%08X where the host computes 0x%08X", core.exitStatus, core.failures, core.checksum,
                    reference->checksum);
      state.SkipWithError(why);
      return;
    }
    checksum = core.checksum;
    instructions += static_cast<double>(core.instructions);
    coreSeconds += core.cpuSeconds;
    if (!qemu) continue;
    bench::StraightCodeResult other, start;
    try {
      other = bench::runOnQemu(*qemu, full.qemu, image);
      start = bench::runOnQemu(*qemu, shortRun.qemu, shortImage);
    } catch (const std::exception& e) {
      state.SkipWithError((std::string("on QEMU: ") + e.what()).c_str());
      return;
    }
    if (other.exitStatus != 0 || other.failures != 0 || other.rounds != core.rounds ||
        other.checksum != core.checksum) {
      char why[200];
      std::snprintf(why, sizeof why, "QEMU's run differs: exit status %d, %u rounds, %u self-checks failed, "
                    "checksum 0x%08X where the core gave 0x%08X", other.exitStatus, other.rounds, other.failures,
                    other.checksum, core.checksum);
      state.SkipWithError(why);
      return;
    }
    if (start.exitStatus != 0 || start.failures != 0) {
      state.SkipWithError("QEMU's run of the 8-round program (its start-up figure) failed");
      return;
    }
    qemuSeconds += other.cpuSeconds;
    qemuStartSeconds += start.cpuSeconds;
  }
  double runs = static_cast<double>(state.iterations());
  state.counters["instructions"] = instructions / runs;
  state.counters["core_instructions_per_s"] = instructions / coreSeconds;
  char label[96];
  if (qemu) {
    state.counters["qemu_instructions_per_s"] = instructions / qemuSeconds;
    state.counters["qemu_over_core"] = coreSeconds / qemuSeconds;
    state.counters["qemu_start_s"] = qemuStartSeconds / runs;
    std::snprintf(label, sizeof label, "checksum 0x%08X on the core, QEMU and the host", checksum);
  } else {
    std::snprintf(label, sizeof label, "checksum 0x%08X on the core and the host; QEMU skipped, not on PATH", checksum);
  }
  state.SetLabel(label);
}
BENCHMARK(CompiledCodeBesideQemu)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

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
