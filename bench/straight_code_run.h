// The straight-code program (bench/straight_code) run three ways: on the
// emulated core in-process, on QEMU as a child process, and as the same C
// compiled for the host, the reference both emulators must agree with.
#pragma once

#include <cstdint>
#include <string>

#include "sim/cpu/image_loader.h"

namespace bench {

struct StraightCodeResult {
  std::uint32_t checksum = 0;
  std::uint32_t rounds = 0;
  std::uint32_t failures = 0;  // the program's own self-checks that failed
  int exitStatus = -1;         // 0: the semihosting exit reported success
  std::uint64_t instructions = 0;  // the emulated core's own count (on the core only)
  double cpuSeconds = 0;           // CPU time of the run alone (core) or of the QEMU process
};

// The two links of one program in the target build's output directory:
// NAME.elf for the board's memory map, NAME_qemu.elf for QEMU's machine.
struct StraightCodeFiles {
  std::string board;
  std::string qemu;
};
StraightCodeFiles straightCodeFiles(const std::string& directory, const std::string& name);

// Runs the board link on the emulated core to its exit; the CPU time is the
// calling thread's during the run. Throws sim::ImageError for a file that is
// no image, std::runtime_error when the program does not reach its exit.
StraightCodeResult runOnCore(const sim::BoardImage& image);

// Runs the QEMU link on `qemu`, stopped at the program's exit to read its
// results. The addresses come from the board link's symbols: the two links
// differ only in where flash starts (see bench/straight_code/sections.ld).
// Throws QemuError, or std::runtime_error when a symbol is missing.
StraightCodeResult runOnQemu(const std::string& qemu, const std::string& qemuElf, const sim::BoardImage& boardImage);

// The same work compiled for the host (exit status 0 when no self-check
// failed, as on the board).
StraightCodeResult runOnHost(std::uint32_t rounds);

}  // namespace bench
