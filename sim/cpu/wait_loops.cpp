// Wait loops: an iteration that touches no register, changes no memory and
// leaves the core's registers as they were can only be ended by an event; its
// whole iterations before the board's next event pass at once.
#include "../core/stop.h"
#include "cortex_m3.h"

namespace sim {

// Handlers that changed nothing ran inside a wait loop, less than an
// iteration after it was last seen waiting at its head, with nothing read or
// changed since: it still waits, and its whole iterations before the next
// event pass here.
void CortexM3::skipWaitingAt() {
  const Snapshot& was = loop_.last;
  std::uint64_t now = instructions_ + cpu_->count;
  if (!loop_.armed || !loop_.have || loop_.length == 0 || was.depth != 0 || mmioAccesses_ != was.mmio ||
      cpu_->ramChanges != was.ramChanges || deadStackEpoch_ != was.epoch || entries_ - repeatedHandlers_ != was.realEntries ||
      now < was.instructions || now - was.instructions >= loop_.length) {
    return;
  }
  if (!board_.clock().hasEvents() || forward_.eventDue()) return;
  const std::uint64_t iterations = forward_.iterationsBeforeEvent(loop_.length);
  loop_.hit = true;  // the watch stays where it is
  forward_.pass(iterations, loop_.length);
  skipped_ += iterations * loop_.length;
}

CortexM3::Snapshot CortexM3::snapshot() {
  Snapshot s;
  s.instructions = instructions_ + cpu_->count;
  s.mmio = mmioAccesses_;
  s.ramChanges = cpu_->ramChanges;
  s.ramWrites = cpu_->ramWrites;
  s.epoch = deadStackEpoch_;
  s.taken = entries_;
  s.realEntries = entries_ - repeatedHandlers_;
  s.depth = board_.interrupts().depth();
  return s;
}

void CortexM3::takeRegisters(Snapshot& s) {
  s.registers = registers();
  s.registersKnown = true;
}

void CortexM3::armLoopWatch(std::uint32_t pc) {
  if (loop_.armed) setMark(loop_.pc, kMarkLoop, false);
  loop_ = LoopWatch{};
  if (pc - BoardImage::kFlashBase >= BoardImage::kFlashSize && pc >= BoardImage::kFlashSize) {
    return;  // code outside flash is not watched
  }
  loop_.pc = pc;
  loop_.armed = true;
  setMark(pc, kMarkLoop, true);
}

// A wait loop found in the very state it was in one iteration ago, with
// nothing read, written or taken meanwhile: it stays so until an event. Its
// whole iterations before the next event pass at once; the rest runs, so the
// event's boundary falls where it would have.
bool CortexM3::atLoopWatch(std::uint32_t pc) {
  std::uint32_t sp = reg(kSp);
  if (sp != deadStackTop_) {
    deadStackTop_ = sp;
    ++deadStackEpoch_;
    updateQuietStack();
  }
  loop_.hit = true;
  const Snapshot& was = loop_.last;
  // The registers are only read when nothing cheaper already tells this
  // iteration apart from the last one.
  Snapshot now = snapshot();
  bool quiet = loop_.have && now.mmio == was.mmio && now.ramChanges == was.ramChanges && now.epoch == was.epoch &&
               now.depth == was.depth;
  if (quiet || !loop_.have) takeRegisters(now);
  bool unchanged = quiet && was.registersKnown && now.registers == was.registers;
  bool same = unchanged && now.taken == was.taken && now.instructions > was.instructions &&
              now.instructions - was.instructions <= kStretch;
  // Back in the state it waited in after a handler that changed nothing it
  // sees: it waits on, an iteration as long as measured before.
  bool resumed = unchanged && !same && loop_.length != 0 && now.taken != was.taken;
  if (same || resumed) {
    std::uint64_t length = same ? now.instructions - was.instructions : loop_.length;
    loop_.length = length;
    loop_.misses = 0;
    loop_.confirmed = true;
    if (now.depth > 0) {
      int exc = board_.interrupts().running();
      halted("the " + exceptionLabel(exc) + " handler halted at PC " + describe(pc));
    }
    if (std::string why = whyNothingEndsWait(); !why.empty()) {
      throw Stop(StopKind::Fault, "the firmware is stuck for good: it loops at PC " + describe(pc) + " " + why);
    }
    sync();
    if (!board_.clock().hasEvents()) {
      throw Stop(StopKind::Fault,
                 "the firmware waits for something that can never happen: nothing is left to run (PC " +
                     describe(pc) + ")");
    }
    const std::uint64_t iterations = forward_.iterationsBeforeEvent(length);
    forward_.pass(iterations, length);
    skipped_ += iterations * length;
    updateBudget();
  } else if (loop_.have && !(quiet && !was.registersKnown) && ++loop_.misses >= 3) {
    // Not a wait loop (or no longer one): stop looking here.
    setMark(pc, kMarkLoop, false);
    loop_.armed = false;
    return true;
  }
  loop_.last = now;
  loop_.have = true;
  return true;
}

// A wait loop in thread mode reads no register and writes no memory: only an
// exception can end it. None ever can with PRIMASK set, nor when no interrupt
// line is enabled and SysTick cannot pend its exception (the loop itself
// changes neither). Why, for the message; empty when one still may.
std::string CortexM3::whyNothingEndsWait() {
  if (cpu_->primask) return "with interrupts masked (PRIMASK set): nothing can end the loop";
  InterruptController& ic = board_.interrupts();
  for (int line = 0; line < InterruptController::kIrqLines; ++line) {
    if (ic.isEnabled(InterruptController::irq(line))) return {};
  }
  constexpr std::uint32_t kTicking = 0x3u;  // SysTick CTRL: ENABLE | TICKINT
  const SysTickTimer& tick = board_.sysTick();
  if ((tick.ctrl() & kTicking) == kTicking && tick.load() != 0) return {};
  return "with no interrupt enabled and SysTick not interrupting: nothing can end the loop";
}

}  // namespace sim
