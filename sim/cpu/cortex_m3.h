// The board's Cortex-M3, emulated instruction by instruction, running a board
// image (tl500.elf) against the very peripheral models of the virtual board.
//
// Instructions are run by the core's own Thumb interpreter (sim/cpu/thumb);
// everything else an M-profile core does is done here: the memory map
// (flash, its alias at 0, RAM, and the peripheral and system-control ranges
// served by the board's bus), exception entry and return with priorities
// from the board's interrupt controller, the semihosting exit, faults, the
// stack watch and the skipping of wait loops.
//
// Time: every instruction costs one core cycle; each register access costs the
// board's fixed access cost on top (Board::kCyclesPerAccess); taking an
// exception and returning from one cost the interrupt controller's entry and
// exit cycles. Instructions are counted one by one as they run, and the board's
// clock is brought up to date before every register access, so a register is
// read and written at the virtual time its instruction runs at. An exception
// is taken at the first instruction boundary at which it is pending and
// allowed: after the register write or the PRIMASK change that allowed it, or
// at the first boundary at or past the event that pended it, never inside an
// IT block. The interpreter stops exactly at such a boundary (a count of
// instructions) and before marked instructions (breakpoints, the watched
// loops, PRIMASK writers), so between boundaries it runs at full speed.
//
// Some code passes without being run instruction by instruction, with the
// same outcome and at the same virtual times as when run:
// - a wait loop, an iteration that touches no register, changes no memory and
//   leaves the core's registers as they were, can only be ended by an event:
//   its whole iterations before the board's next event pass at once;
// - a poll loop, an iteration that reads a status register which only the
//   board's events change, writes no memory and only counts one core register
//   down by one: its iterations before the next event pass at once, never
//   more than its count allows (off with the board's poll skipping); after an
//   event that left the register as it was, the loop runs on from the state
//   it is known to be in, and passes on without looking at it again;
// - a handler entered from thread mode that reads no register of the board,
//   changes no memory and leaves the core's registers as it found them: entered
//   again at the same place in the same state, with memory unchanged since, its
//   entry, instructions and return pass at once (when no event falls among
//   them); a wait loop it interrupted then waits on at once;
// - idle periods: a wait loop interrupted tick after tick by the SysTick
//   handler, each run passing at once as a repeat, comes back to the very
//   state it was in some ticks before, as many ticks later as SysTick
//   periods apart. From there it repeats those ticks to the letter until the
//   board's next other event: whole such periods pass at once, each tick's
//   entry and return at its own time, then the ticks before the event where
//   the loop is in its own frame (off with the board's poll skipping, so
//   that the two can be compared).
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
#include "../core/fast_forward.h"
#include "image_loader.h"
#include "thumb/interpreter.h"

namespace sim {

class CortexM3 final : private thumb::Interpreter::Bus {
 public:
  // Fills the stack area (and the free RAM below it) at reset, so that the
  // deepest use of the stack can be read from RAM afterwards.
  static constexpr std::uint32_t kStackFill = 0xC5C5C5C5u;
  // Instructions run in one go at most before run() looks at its caller's
  // `interrupt` and the stack's guard words again.
  static constexpr std::uint32_t kStretch = 1u << 16;

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

  // The core's registers by number: 0-12 are r0-r12, then these.
  enum Register : unsigned { kR12 = 12, kSp = 13, kLr = 14, kPc = 15, kXpsr = 16 };
  // Debugger access, by register number.
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
  // Reads of a status register that passed at once in skipped poll loops.
  std::uint64_t skippedPolls() const { return skippedPolls_; }
  // Handler runs that were the same as the one before and passed at once.
  std::uint64_t repeatedHandlers() const { return repeatedHandlers_; }
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
  // r0-r12, sp, lr, pc, APSR, indexed by register number.
  using Registers = std::array<std::uint32_t, kXpsr + 1>;
  // The state of the core at a watched instruction, and what the board has
  // seen of it so far.
  struct Snapshot {
    Registers registers{};
    bool registersKnown = false;
    std::uint64_t instructions = 0;
    std::uint64_t mmio = 0;
    std::uint64_t ramChanges = 0;
    std::uint64_t ramWrites = 0;
    std::uint64_t epoch = 0;
    std::uint64_t taken = 0;
    std::uint64_t realEntries = 0;  // exceptions entered, not repeated
    std::size_t depth = 0;
  };
  // A candidate wait loop: the instruction looked at and its last state there.
  struct LoopWatch {
    std::uint32_t pc = 0;
    bool armed = false;
    bool have = false;
    bool confirmed = false;
    bool hit = false;  // passed since the last boundary
    std::uint64_t length = 0;  // instructions per iteration, once seen waiting
    unsigned misses = 0;
    Snapshot last;
  };
  // The poll loop last seen: the instruction that read a steady register, the
  // register, the value read and the state before that read.
  struct PollWatch {
    std::uint32_t pc = 0;
    std::uint32_t address = 0;
    unsigned width = 0;
    std::uint32_t value = 0;
    bool armed = false;
    bool have = false;
    std::uint64_t readAt = 0;  // mmio count after the last matching read
    // Once an iteration was seen to count `counter` down by one and change
    // nothing else: the register and the iteration's length in instructions.
    int counter = -1;
    std::uint64_t length = 0;
    Snapshot last;
  };
  // A handler run from thread mode that read no register of the board and
  // changed no memory the interrupted code sees, and left every core register
  // as it found it: entered again from the same state, with memory as it
  // was, it does the same again.
  struct HandlerRun {
    int exception = -1;
    std::uint32_t returnAddress = 0;
    Registers registers{};
    std::uint64_t ramChanges = 0;
    std::uint64_t mmio = 0;
    std::uint64_t entries = 0;
    std::uint64_t instructions = 0;
    std::uint64_t epoch = 0;  // of the dead-stack boundary
  };
  // A handler run repeated at a boundary of its own: where it came in (the
  // handler key of the interrupted state), when it was entered and when it
  // returned, and the figures of the run then.
  struct IdleTick {
    std::uint64_t key = 0;
    int exception = -1;
    std::uint64_t instructions = 0;
    Time entered = 0;
    Time returned = 0;
    std::uint64_t mmio = 0;
    std::uint64_t ramChanges = 0;
    std::uint64_t epoch = 0;
    std::uint64_t realEntries = 0;
    std::uint64_t entries = 0;
    std::uint64_t wraps = 0;  // SysTick's
    bool samePlace(const IdleTick& other) const { return key == other.key && exception == other.exception; }
  };
  // Ticks remembered for finding a period, at most (then forgotten at once).
  static constexpr std::size_t kIdleTicksKept = 512;
  // Exceptions taken at one boundary by repeating a remembered handler, at
  // most; handler runs remembered, at most (then forgotten all at once).
  static constexpr int kRepeatsAtBoundary = 16;
  static constexpr std::size_t kHandlersRemembered = 256;
  // Marks on instructions in flash (one byte per halfword).
  enum : std::uint8_t {
    kMarkBreakpoint = 1,
    kMarkPoll = 2,
    kMarkLoop = 4,
    kMarkPrimask = 8,  // cpsie, cpsid, msr PRIMASK: the next boundary is looked at
    kMarkLook = kMarkBreakpoint | kMarkPoll | kMarkLoop,
  };

  // The interpreter's accesses to the peripheral and system-control windows.
  std::uint32_t read(std::uint32_t address, unsigned size) override;
  void write(std::uint32_t address, unsigned size, std::uint32_t value) override;
  std::uint64_t mmioRead(std::uint32_t address, unsigned size);
  void mmioWrite(std::uint32_t address, unsigned size, std::uint32_t value);
  void failAccess(std::uint32_t address);
  void afterAccess();
  // What ended the interpreter's run other than a boundary: an exception
  // return, a supervisor call, a breakpoint instruction, a fault.
  void interpreterExit(thumb::Interpreter::Exit exit);
  void requestStop();
  void fail();
  thumb::Interpreter::Memory memoryMap();
  // Writes below the watched loop's SP (dead stack) change nothing that counts.
  void updateQuietStack();
  // A bkpt instruction at `pc`: the semihosting exit, or a fault.
  void breakpointInstruction(std::uint32_t pc);
  // Texts for messages: a word in hex, an exception by name.
  static std::string hexWord(std::uint32_t v);
  static std::string exceptionLabel(int exception);

  // One stretch of execution of at most `count` instructions. With `exact`
  // it ends after `count` instructions; otherwise exceptions are taken inside
  // it as they come, and it ends after about `count`. False when it ended
  // early (a stop, a fault, a breakpoint, the exit).
  bool execute(std::uint32_t count, bool exact = true);
  // Runs the interpreter until the stretch ends, handling its boundaries.
  void runStretch();
  // Before the instruction at `pc`; false when it must not run now (the
  // stretch stops, or an exception was entered instead).
  bool beforeInstruction(std::uint32_t pc, std::uint8_t mark);
  bool atBoundary(std::uint32_t pc);
  bool repeatHandler(int exception, std::uint32_t pc);
  // Enters `exception`, spends a remembered run of `instructions` and
  // returns, as the core would have run it.
  void passRepeatedRun(int exception, std::uint64_t instructions);
  void rememberHandler(int exception, std::uint32_t returnAddress);
  void skipWaitingAt();
  // After a repeated handler run at a boundary of its own: remembers it, and
  // passes the idle periods it completes before the next other event, whole
  // and then tick by tick. True when the loop was left at another place of
  // its period than this boundary (its registers set to that place's).
  bool passIdlePeriods();
  // Rebuilds idleTicks_ as the kept idle period leading up to `now`, when
  // `now` is one of its ticks in the same state; false otherwise.
  bool resumeIdlePeriod(const IdleTick& now);
  void idleRowAt(std::size_t at, Time shift);
  // Sets the figures of `t` (register accesses, memory changes, entries,
  // wraps) to the run's as they are now.
  void takeIdleFigures(IdleTick& t);
  static std::uint64_t handlerKey(const Registers& registers);
  bool atLoopWatch(std::uint32_t pc);
  std::string whyNothingEndsWait();
  void atPollWatch(std::uint32_t pc);
  void notePoll(std::uint32_t address, unsigned width, std::uint32_t value);
  void armLoopWatch(std::uint32_t pc);
  // The figures of the run at this instruction, the core's registers left out
  // (reading them costs more than all the rest): takeRegisters adds them.
  Snapshot snapshot();
  void takeRegisters(Snapshot& s);
  // Brings the board's clock up to the instructions run so far.
  void sync();
  void syncPrimask();
  void updateBudget();
  std::uint8_t markAt(std::uint32_t pc) const;
  void setMark(std::uint32_t pc, std::uint8_t mark, bool on);
  void markPrimaskWriters();
  // The interpreter's IPSR and exclusive monitor after an exception entry or
  // return.
  void afterExceptionChange();

  bool takeExceptions();
  Registers registers();
  void enterException(int exception, std::uint32_t returnAddress);
  void returnFromException(std::uint32_t excReturn);
  void enterFault(Fault fault);
  void checkStack();
  bool inItBlock();
  std::string describe(std::uint32_t pc) const;
  [[noreturn]] void halted(const std::string& why);
  std::uint32_t* ramWord(std::uint32_t address);

  Board& board_;
  FastForward forward_;  // how far a loop may pass before the board's next event
  BoardImage image_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> ram_;
  std::vector<std::uint8_t> marks_;
  // Runs the instructions. Its `count` is the stretch's instructions so far,
  // its `limit` the count at which the next boundary is looked at; its RAM
  // figures are the run's: stores, and those that changed memory.
  std::unique_ptr<thumb::Interpreter> cpu_;

  std::exception_ptr pending_;  // thrown by a model or at a boundary, rethrown after the stretch
  bool stopRequested_ = false;
  bool failed_ = false;  // a fault or an error: further accesses of the instruction are dropped
  bool exited_ = false;
  int exitStatus_ = 0;
  std::optional<Fault> fault_;    // to be delivered at the end of the stretch
  std::optional<Fault> lastFault_;  // delivered to the image's handler
  std::uint64_t mmioAccesses_ = 0;
  std::uint64_t instructions_ = 0;
  std::uint64_t skipped_ = 0;
  std::uint64_t skippedPolls_ = 0;
  std::uint64_t entries_ = 0;  // exceptions entered
  std::uint64_t repeatedHandlers_ = 0;

  // The stretch running: the instructions already spent on the clock, its end.
  std::uint64_t charged_ = 0;
  std::uint64_t stretchEnd_ = 0;
  bool exact_ = true;
  bool recheck_ = false;  // the boundary is a second look, not an event's

  LoopWatch loop_;
  PollWatch poll_;
  HandlerRun handlerRunning_;  // the thread-mode handler running, as entered
  // Those that changed nothing (with their instructions), by the place they
  // returned to.
  std::map<std::uint64_t, HandlerRun> handlersSeen_;
  std::uint64_t handlersRemembered_ = 0;  // runs put into handlersSeen_ so far
  IdleTick lastRepeat_;                   // the handler run repeated last
  std::vector<IdleTick> idleTicks_;       // in a row, each the entry after the one before
  // The last idle period passed at once, its first tick repeated at its end,
  // and handlersRemembered_ then: another event that changed nothing the
  // loop sees leaves the loop at one of its ticks, from where it goes on.
  std::vector<IdleTick> idlePeriod_;
  std::uint64_t idlePeriodHandlers_ = 0;
  // Stack below the watched loop's SP is dead: writes there do not count as
  // changes. The epoch counts changes of that boundary.
  std::uint32_t deadStackTop_ = 0;
  std::uint64_t deadStackEpoch_ = 0;
  std::uint32_t liveStackFrom_ = ~std::uint32_t{0};  // thread mode's SP while a handler runs

  std::set<std::uint32_t> breakpoints_;
  bool breakpointsOutsideFlash_ = false;
  bool breakpointHit_ = false;
  std::optional<std::uint32_t> ignoreBreakpointAt_;
};

}  // namespace sim
