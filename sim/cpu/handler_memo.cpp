// Handler memoisation: a handler entered from thread mode that read no
// register of the board, changed no memory the interrupted code sees and left
// the core's registers as it found them does the same again when entered
// again from the same state with memory unchanged; such a run passes at once.
#include "cortex_m3.h"

namespace sim {

// The exception about to be taken at `pc` would run the handler seen last,
// from the same state, with memory as it left it: its entry, its instructions
// and its return pass at once, unless an event falls among them.
bool CortexM3::repeatHandler(int exception, std::uint32_t pc) {
  InterruptController& ic = board_.interrupts();
  // A debugger's breakpoint in the handler must see it run.
  // Under a timing seed every entry and return draws its own cost: each runs.
  if (handlersSeen_.empty() || ic.depth() != 0 || !breakpoints_.empty() || !ic.nominalTiming()) return false;
  Registers now = registers();
  now[kPc] = pc;
  auto found = handlersSeen_.find(handlerKey(now));
  if (found == handlersSeen_.end()) return false;
  const HandlerRun& seen = found->second;
  if (seen.exception != exception || seen.ramChanges != cpu_->ramChanges || seen.epoch != deadStackEpoch_ ||
      now != seen.registers) {
    return false;
  }
  std::uint64_t cycles = InterruptController::kEntryCycles + seen.instructions + InterruptController::kExitCycles;
  if (forward_.eventWithin(cycles)) return false;
  lastRepeat_.key = found->first;
  lastRepeat_.exception = exception;
  lastRepeat_.instructions = seen.instructions;
  lastRepeat_.entered = board_.clock().now();
  passRepeatedRun(exception, seen.instructions);
  skipped_ += seen.instructions;
  lastRepeat_.returned = board_.clock().now();
  return true;
}

void CortexM3::passRepeatedRun(int exception, std::uint64_t instructions) {
  InterruptController& ic = board_.interrupts();
  ic.enter(exception);
  ++entries_;
  forward_.spend(instructions);
  ic.leave();
  ++repeatedHandlers_;
}

// A handler run from thread mode has returned: when it read no register,
// changed nothing the interrupted code sees and left every core register as
// it found it, it is remembered with its length by the place it returned to.
void CortexM3::rememberHandler(int exception, std::uint32_t returnAddress) {
  InterruptController& ic = board_.interrupts();
  const HandlerRun& run = handlerRunning_;
  if (ic.depth() == 0 && run.exception == exception && run.entries + 1 == entries_ && run.mmio == mmioAccesses_ &&
      run.ramChanges == cpu_->ramChanges && run.epoch == deadStackEpoch_ && run.returnAddress == returnAddress &&
      registers() == run.registers) {
    if (handlersSeen_.size() >= kHandlersRemembered) handlersSeen_.clear();
    ++handlersRemembered_;
    HandlerRun& seen = handlersSeen_[handlerKey(run.registers)];
    seen = run;
    seen.instructions = instructions_ + cpu_->count - run.instructions;
  }
}

// The same code can be interrupted coming from several callers: the place is
// the PC with the stack pointer and the return address.
std::uint64_t CortexM3::handlerKey(const Registers& r) {
  return static_cast<std::uint64_t>(r[kPc]) | static_cast<std::uint64_t>(r[kSp] ^ (r[kLr] << 12)) << 32;
}

}  // namespace sim
