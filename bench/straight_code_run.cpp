#include "straight_code_run.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <stdexcept>

#include "qemu_run.h"
#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/cpu/cortex_m3.h"
#include "straight_code/work.h"

namespace bench {

namespace {

// The program leaves the clocks as they come out of reset (some 2 MHz), so
// its 1.1 G instructions take about nine minutes of board time; a run past
// this limit (200 G instructions and more) never reaches its exit.
constexpr double kBoardSecondsLimit = 100'000;

double threadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::uint32_t symbolAddress(const sim::BoardImage& image, const std::string& name) {
  for (const auto& [address, symbol] : image.symbols) {
    if (symbol == name) return address;
  }
  throw std::runtime_error(image.path + " has no symbol " + name + ": not the straight-code program");
}

std::uint32_t word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
         std::uint32_t{bytes[at + 3]} << 24;
}

}  // namespace

StraightCodeFiles straightCodeFiles(const std::string& directory, const std::string& name) {
  return {directory + "/" + name + ".elf", directory + "/" + name + "_qemu.elf"};
}

StraightCodeResult runOnCore(const sim::BoardImage& image) {
  sim::Board board;
  sim::CortexM3 core(board, image);
  board.clock().at(sim::seconds(kBoardSecondsLimit), [] {
    throw sim::Stop(sim::StopKind::TimeLimit, "the straight-code program did not reach its exit");
  });
  double start = threadCpuSeconds();
  sim::CortexM3::Halt halt = core.run();
  double cpu = threadCpuSeconds() - start;
  if (halt != sim::CortexM3::Halt::Exited) throw std::runtime_error("the straight-code program stopped before its exit");
  auto global = [&](const char* name) {
    std::optional<std::uint32_t> value = core.readGlobal(name);
    if (!value) throw std::runtime_error(image.path + " has no symbol " + std::string(name));
    return *value;
  };
  StraightCodeResult result;
  result.checksum = global("straight_code_checksum");
  result.rounds = global("straight_code_rounds");
  result.failures = global("straight_code_failures");
  result.exitStatus = core.exitStatus();
  result.instructions = core.instructions();
  result.cpuSeconds = cpu;
  return result;
}

StraightCodeResult runOnQemu(const std::string& qemu, const std::string& qemuElf, const sim::BoardImage& boardImage) {
  std::uint32_t exit = symbolAddress(boardImage, "straight_code_exit") & ~1u;
  std::uint32_t checksum = symbolAddress(boardImage, "straight_code_checksum");
  std::uint32_t rounds = symbolAddress(boardImage, "straight_code_rounds");
  std::uint32_t failures = symbolAddress(boardImage, "straight_code_failures");
  std::uint32_t from = std::min({checksum, rounds, failures});
  std::uint32_t to = std::max({checksum, rounds, failures}) + 4;
  QemuRequest request;
  request.qemu = qemu;
  request.elf = qemuElf;
  request.stopAt = exit - sim::BoardImage::kFlashBase;  // QEMU's flash starts at 0
  request.readAt = from;
  request.readSize = to - from;
  QemuOutcome outcome = runQemu(request);
  StraightCodeResult result;
  result.checksum = word(outcome.memory, checksum - from);
  result.rounds = word(outcome.memory, rounds - from);
  result.failures = word(outcome.memory, failures - from);
  result.exitStatus = outcome.exitStatus;
  result.cpuSeconds = outcome.cpuSeconds;
  return result;
}

StraightCodeResult runOnHost(std::uint32_t rounds) {
  double start = threadCpuSeconds();
  straight_code_result work = straight_code_work(rounds);
  StraightCodeResult result;
  result.cpuSeconds = threadCpuSeconds() - start;
  result.checksum = work.checksum;
  result.rounds = rounds;
  result.failures = work.failures;
  result.exitStatus = work.failures == 0 ? 0 : 1;
  return result;
}

}  // namespace bench
