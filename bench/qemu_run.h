// Running a bare-metal Cortex-M3 program on QEMU (qemu-system-arm, machine
// lm3s6965evb) as a child process, driven through QEMU's gdb stub over a
// socket pair: the program is stopped at one instruction, memory is read
// there, and it is let run to its end. The child's CPU time comes from
// wait4, not from the wall clock.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// QEMU could not be run, or the program did not get where it was asked to
// stop; the message says why (with what QEMU printed, when it printed any).
class QemuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The full path of `program` as the shell's PATH lookup finds it, else none.
std::optional<std::string> findOnPath(const std::string& program);

struct QemuRequest {
  std::string qemu;  // the qemu-system-arm to run
  std::string elf;   // linked for the machine: flash at 0, RAM at 0x20000000
  std::uint32_t stopAt = 0;  // address of the instruction to stop before
  std::uint32_t readAt = 0;  // memory read when stopped there
  std::uint32_t readSize = 0;
  // A guard against a program that never gets there: QEMU is killed after
  // this long without an answer (wall clock; never a measured figure).
  int answerTimeoutSeconds = 600;
};

struct QemuOutcome {
  std::vector<std::uint8_t> memory;  // the bytes read at the stop
  int exitStatus = -1;               // QEMU's exit status (the program's semihosting exit)
  double cpuSeconds = 0;             // user and system time of the whole QEMU process
};

// Runs the request; throws QemuError.
QemuOutcome runQemu(const QemuRequest& request);

// The gdb remote protocol's framing: "$payload#cc", cc the payload's byte sum
// modulo 256 in two lowercase hex digits.
std::string gdbFrame(std::string_view payload);
// The payload of one frame, or none when it is not a whole frame or its
// checksum does not match.
std::optional<std::string> gdbUnframe(std::string_view frame);
// Bytes from the hex digits of a memory read reply; none for an error reply
// ("Enn"), an odd count or a character that is no hex digit.
std::optional<std::vector<std::uint8_t>> gdbHexBytes(std::string_view reply);

}  // namespace bench
