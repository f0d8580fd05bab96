// The board's Cortex-M3, emulated instruction by instruction, running a board
// image (tl500.elf) against the very peripheral models of the virtual board.
//
// Instructions are executed by the Unicorn library; everything the library does
// not do for an M-profile core is done here: the memory map (flash, its alias
// at 0, RAM, and the peripheral and system-control ranges served by the board's
// bus), exception entry and return with priorities from the board's interrupt
// controller, the semihosting exit, faults, the stack watch and the skipping of
// wait loops.
//
// Time: every instruction costs one core cycle; each register access costs the
// board's fixed access cost on top (Board::kCyclesPerAccess); taking an
// exception and returning from one cost the interrupt controller's entry and
// exit cycles. A wait loop (an iteration that touches no register, changes no
// memory and leaves the core's registers as they were) can only be ended by an
// interrupt: it is charged whole iterations up to the next event of the board.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../board.h"
#include "image_loader.h"

struct uc_struct;

namespace sim {

class CortexM3 {
 public:
  // Fills the stack area (and the free RAM below it) at reset, so that the
  // deepest use of the stack can be read from RAM afterwards.
  static constexpr std::uint32_t kStackFill = 0xC5C5C5C5u;
  // Instructions run in one go at most before the core looks at its
  // interrupt controller again.
  static constexpr std::uint32_t kMaxChunk = 4096;
  static constexpr std::uint32_t kFirstChunk = 48;

  CortexM3(Board& board, const BoardImage& image);
  ~CortexM3();
  CortexM3(const CortexM3&) = delete;
  CortexM3& operator=(const CortexM3&) = delete;

  // Power-on reset: flash as programmed, RAM cleared and the stack filled,
  // SP and PC from the vector table.
  void reset();

  // Why run() returned.
  enum class Halt { Exited, Breakpoint, Stepped, Interrupted };
  // Runs until the image ends through the semihosting exit (Exited, status in
  // exitStatus()), a breakpoint, `maxInstructions` single steps (0: no limit),
  // or `interrupt` (asked now and then) says so. Throws sim::Stop when the
  // board ends the run, or for a fault, a halted handler, a stack overrun.
  Halt run(std::uint64_t maxInstructions = 0, const std::function<bool()>& interrupt = {});
  int exitStatus() const { return exitStatus_; }
  bool exited() const { return exited_; }

  // Debugger access. Registers 0-15 are r0-r15, 16 is xPSR.
  std::uint32_t reg(unsigned n);
  void setReg(unsigned n, std::uint32_t value);
  // False when part of the range is not memory (peripheral registers are not
  // read by the debugger: a read could clear a flag).
  bool readMemory(std::uint32_t address, std::uint8_t* out, std::size_t size);
  // The 32-bit global the image names `symbol`, as its RAM holds it now;
  // nullopt when the image has no such symbol.
  std::optional<std::uint32_t> readGlobal(const std::string& symbol);
  bool writeMemory(std::uint32_t address, const std::uint8_t* data, std::size_t size);
  void addBreakpoint(std::uint32_t address);
  void removeBreakpoint(std::uint32_t address);

  // Figures of the run.
  std::uint64_t instructions() const { return instructions_; }
  std::uint64_t skippedInstructions() const { return skipped_; }
  // Deepest use of the main stack so far, in bytes, from the fill pattern.
  std::uint32_t stackHighWater() const;
  std::uint32_t stackSize() const { return image_.stackTop - image_.stackBottom; }
  const BoardImage& image() const { return image_; }

 private:
  struct Fault {
    std::string what;
    std::uint32_t pc;
    std::optional<std::uint32_t> address;
  };
  // r0-r12, sp, lr, pc, APSR.
  using Registers = std::array<std::uint32_t, 17>;
  struct LoopInfo {
    std::uint32_t length = 0;  // instructions per iteration; 0: unknown
    // The state in which the loop was last seen waiting: found in it again,
    // with no memory changed since, it still waits.
    bool waiting = false;
    Registers registers{};
    std::uint64_t ramChanges = 0;
    std::uint64_t epoch = 0;
  };

  static void onMmioWrite(uc_struct* uc, std::uint64_t offset, unsigned size, std::uint64_t value, void* user);
  static std::uint64_t onMmioRead(uc_struct* uc, std::uint64_t offset, unsigned size, void* user);
  static void onInterrupt(uc_struct* uc, std::uint32_t intno, void* user);
  static bool onInvalidAccess(uc_struct* uc, int type, std::uint64_t address, int size, std::int64_t value,
                              void* user);
  static void onRamWrite(uc_struct* uc, int type, std::uint64_t address, int size, std::int64_t value, void* user);
  static void onBreakpoint(uc_struct* uc, std::uint64_t address, std::uint32_t size, void* user);

  std::uint64_t mmioRead(std::uint32_t address, unsigned size);
  void mmioWrite(std::uint32_t address, unsigned size, std::uint32_t value);
  void interrupt(std::uint32_t intno);
  void requestStop();
  void check(int err, const char* what) const;

  // One stretch of execution of at most `count` instructions; false when it
  // ended early (count of instructions run then unknown).
  bool execute(std::uint32_t count);
  void afterStop();
  bool takeExceptions();
  Registers registers();
  void enterException(int exception, std::uint32_t returnAddress);
  void returnFromException(std::uint32_t excReturn);
  void enterFault(Fault fault);
  bool tryWaitLoop();
  void skipToNextEvent(std::uint32_t iterationLength);
  void checkStack();
  std::uint32_t cyclesToNextEvent() const;
  bool inItBlock();
  std::string describe(std::uint32_t pc) const;
  [[noreturn]] void halted(const std::string& why);
  std::uint32_t* ramWord(std::uint32_t address);

  struct Window {
    CortexM3* core;
    std::uint32_t base;
  };

  Board& board_;
  BoardImage image_;
  Window periphWindow_{this, 0};
  Window scsWindow_{this, 0};
  uc_struct* uc_ = nullptr;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> ram_;

  std::exception_ptr pending_;  // thrown inside a callback, rethrown after the stretch
  bool stopRequested_ = false;
  bool exited_ = false;
  int exitStatus_ = 0;
  std::optional<Fault> fault_;    // to be delivered at the end of the stretch
  std::optional<Fault> lastFault_;  // delivered to the image's handler
  std::uint64_t mmioAccesses_ = 0;
  std::uint64_t ramChanges_ = 0;
  std::uint64_t instructions_ = 0;
  std::uint64_t skipped_ = 0;

  std::map<std::uint32_t, LoopInfo> loops_;  // by the PC a stretch ended at
  std::uint32_t probeBackoff_ = 0, probeSkip_ = 0;
  // Stack below the waiting loop's SP is dead: writes there do not count as
  // changes. The epoch counts changes of that boundary.
  std::uint32_t deadStackTop_ = 0;
  std::uint64_t deadStackEpoch_ = 0;
  // Length of the next stretch: short after an exception entry or a skipped
  // wait, so that a return into a waiting loop is found soon.
  std::uint32_t chunk_ = kMaxChunk;

  std::map<std::uint32_t, std::size_t> breakpoints_;  // address -> hook
  bool breakpointHit_ = false;
  std::optional<std::uint32_t> ignoreBreakpointAt_;
};

}  // namespace sim
