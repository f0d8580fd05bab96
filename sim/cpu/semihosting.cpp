// Semihosting: the image ends its run through the debugger's exit call, with
// its exit status. Any other breakpoint instruction is a debug event that no
// debugger takes: a fault.
#include <cstring>

#include "cortex_m3.h"

namespace sim {

namespace {

constexpr std::uint32_t kSemihostingBkpt = 0xAB;
constexpr std::uint8_t kBkptOpcode = 0xBE;  // the high byte of a bkpt instruction
constexpr std::uint32_t kSysExit = 0x18;
constexpr std::uint32_t kSysExitExtended = 0x20;
constexpr std::uint32_t kApplicationExit = 0x20026;

}  // namespace

void CortexM3::breakpointInstruction(std::uint32_t pc) {
  std::uint8_t insn[2] = {0, 0};
  readMemory(pc, insn, 2);
  if (insn[0] == kSemihostingBkpt && insn[1] == kBkptOpcode) {
    std::uint32_t op = reg(0), arg = reg(1);
    if (op == kSysExit) {
      exitStatus_ = arg == kApplicationExit ? 0 : 1;
      exited_ = true;
    } else if (op == kSysExitExtended) {
      std::uint8_t block[8];
      if (!readMemory(arg, block, 8)) {
        fault_ = Fault{"semihosting exit with its parameter block outside memory", pc, arg};
        return;
      }
      std::uint32_t reason, code;
      std::memcpy(&reason, block, 4);
      std::memcpy(&code, block + 4, 4);
      exitStatus_ = reason == kApplicationExit ? static_cast<int>(code) : 1;
      exited_ = true;
    } else {
      fault_ = Fault{"semihosting operation " + hexWord(op) + " that the virtual board does not provide", pc,
                     std::nullopt};
    }
  } else {
    fault_ = Fault{"debug event: bkpt instruction without a debugger attached", pc, std::nullopt};
  }
}

}  // namespace sim
