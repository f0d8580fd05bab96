// Idle periods: the firmware waits in a loop and the SysTick handler, each run
// a repeat of one remembered, interrupts it tick after tick. The loop's place
// at each tick moves on by the instructions it runs between two ticks, and
// after some ticks it is back where it was, in the same state. From there the
// same ticks come again, at the same places and the same offsets from their
// wraps, for as long as nothing else happens on the board: whole such periods
// pass here at once, each tick still entered and left at its own time, and
// then the ticks of part of one more, up to the last before the next event,
// where the loop is left in the registers it had at that tick.
#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "cortex_m3.h"

namespace sim {

namespace {
constexpr Time kMostIdleTime = seconds(1);
}  // namespace

bool CortexM3::passIdlePeriods() {
  Clock& clock = board_.clock();
  InterruptController& ic = board_.interrupts();
  const SysTickTimer& tick = board_.sysTick();
  IdleTick now = lastRepeat_;
  takeIdleFigures(now);
  // Only ticks in a row count: each entered right after the one before, with
  // nothing read, changed or really entered between.
  if (!idleTicks_.empty()) {
    const IdleTick& last = idleTicks_.back();
    if (now.mmio != last.mmio || now.ramChanges != last.ramChanges || now.epoch != last.epoch ||
        now.realEntries != last.realEntries || now.entries != last.entries + 1 || idleTicks_.size() >= kIdleTicksKept) {
      idleTicks_.clear();
    }
  }
  idleTicks_.push_back(now);
  if (!board_.pollSkipping()) return false;

  // The same place as some ticks ago: the registers are those of the same
  // remembered run, memory and the board's registers are as they were then.
  std::size_t last = idleTicks_.size() - 1;
  std::size_t from = last;
  while (from > 0 && !idleTicks_[from - 1].samePlace(now)) --from;
  if (from == 0) {
    if (!resumeIdlePeriod(now)) return false;
    last = idleTicks_.size() - 1;
    from = 1;
  }
  const IdleTick& was = idleTicks_[--from];
  const std::uint64_t ticks = last - from;
  for (std::size_t j = from + 1; j <= last; ++j) {
    if (idleTicks_[j].exception != InterruptController::kSysTick) return false;
  }
  // ... as many SysTick periods later, with a wrap for each tick: the wraps
  // to come fall where those did, shifted by the span.
  const Time period = tick.steadyPeriod();
  const Time span = now.returned - was.returned;
  if (period == 0 || now.entered - was.entered != span || now.wraps - was.wraps != ticks ||
      span != static_cast<Time>(ticks) * period) {
    return false;
  }
  if (idlePeriod_.size() != ticks + 1 || idlePeriod_.back().entries != now.entries) {
    idlePeriod_.assign(idleTicks_.begin() + static_cast<std::ptrdiff_t>(from), idleTicks_.end());
    idlePeriodHandlers_ = handlersRemembered_;
  }
  // Whole spans that end before anything but a wrap is due, within the
  // run's time limit, then the ticks of one more span that return before it.
  const Time end = std::min(clock.nextEventTimeOtherThan(tick.wrapEvent()), clock.limit());
  if (end <= now.returned) return false;
  // At most about a second of board time in one go: with nothing else
  // scheduled, the instructions run between goes still end the stretch in
  // good time, and the run looks at its caller (a debugger's interrupt).
  const Time most = std::max<Time>(1, kMostIdleTime / span);
  const Time spans = std::min((end - now.returned - 1) / span, most);
  std::size_t reached = from;  // the last tick of the span after them passed
  if (spans < most) {
    while (reached < last && idleTicks_[reached + 1].returned + (spans + 1) * span < end) ++reached;
  }
  // Stopping inside a span leaves the loop where that tick found it: in the
  // registers of the handler run remembered for that place. Only where the
  // loop's own frame is the deepest: the stack below the loop's is not
  // watched, and a function the loop calls would find its saved registers
  // there as some earlier run left them.
  const HandlerRun* stoppedAt = nullptr;
  while (reached != from && reached != last && stoppedAt == nullptr) {
    auto found = handlersSeen_.find(idleTicks_[reached].key);
    if (found != handlersSeen_.end() && found->second.exception == idleTicks_[reached].exception &&
        found->second.registers[kSp] >= deadStackTop_) {
      stoppedAt = &found->second;
    } else {
      --reached;
    }
  }
  if (spans == 0 && reached == from) return false;

  const Time start = clock.now();
  std::uint64_t passed = 0;
  auto passTick = [&](const IdleTick& t, Time shift) {
    clock.advanceTo(t.entered + shift);
    if (ic.nextToTake() != t.exception) {
      throw std::logic_error("an idle period passed at once went otherwise than the one it repeats");
    }
    passRepeatedRun(t.exception, t.instructions);
    ++passed;
  };
  for (Time k = 1; k <= spans; ++k) {
    for (std::size_t j = from + 1; j <= last; ++j) passTick(idleTicks_[j], k * span);
  }
  for (std::size_t j = from + 1; j <= reached; ++j) passTick(idleTicks_[j], (spans + 1) * span);
  const std::size_t at = reached == from ? last - from : reached - from;  // in the kept period
  const Time shift = (reached == from ? spans : spans + 1) * span;
  if (clock.now() != idlePeriod_[at].returned + shift) {
    throw std::logic_error("an idle period passed at once ended at another time than the one it repeats");
  }
  // The loop ran between the ticks: every cycle but the entries and returns
  // is an instruction, the handlers' included.
  skipped_ += static_cast<std::uint64_t>((clock.now() - start) / clock.quantaPerCoreCycle()) -
              passed * (InterruptController::kEntryCycles + InterruptController::kExitCycles);
  // The row of ticks moves on with the board, so the next tick finds its
  // period again.
  idleRowAt(at, shift);
  if (stoppedAt == nullptr) return false;
  for (unsigned r = 0; r <= kXpsr; ++r) setReg(r, stoppedAt->registers[r]);
  return true;
}

// Another event came between (a timer's interrupt, a byte that went by) and
// broke the row of ticks. When it left memory as it was and forgot no
// handler run, and the loop is back at one of the kept period's ticks, as
// many SysTick periods after it: the ticks that followed that one follow
// this one too.
bool CortexM3::resumeIdlePeriod(const IdleTick& now) {
  if (idlePeriod_.size() < 2 || idlePeriodHandlers_ != handlersRemembered_) return false;
  const IdleTick& first = idlePeriod_.front();
  if (first.ramChanges != now.ramChanges || first.epoch != now.epoch) return false;
  const Time period = board_.sysTick().steadyPeriod();
  const std::size_t ticks = idlePeriod_.size() - 1;
  const Time span = idlePeriod_.back().returned - first.returned;
  if (period == 0 || span != static_cast<Time>(ticks) * period) return false;
  std::size_t at = 1;
  while (at <= ticks && !idlePeriod_[at].samePlace(now)) ++at;
  if (at > ticks) return false;
  const IdleTick& seen = idlePeriod_[at];
  if (now.entered < seen.entered) return false;
  const Time shift = now.entered - seen.entered;
  if (shift % period != 0 || now.returned - seen.returned != shift) return false;
  idleRowAt(at, shift);
  return true;
}

// The kept period as it would have gone up to its tick `at`, `shift` later:
// from the same tick one span earlier up to this one, with today's figures.
void CortexM3::idleRowAt(std::size_t at, Time shift) {
  const std::size_t ticks = idlePeriod_.size() - 1;
  const Time span = idlePeriod_.back().returned - idlePeriod_.front().returned;
  std::vector<IdleTick> row;
  row.reserve(ticks + 1);
  for (std::size_t q = 0; q <= ticks; ++q) {
    std::size_t k = at + q;
    Time moved = shift - span;
    if (k > ticks) {
      k -= ticks;
      moved = shift;
    }
    IdleTick t = idlePeriod_[k];
    t.entered += moved;
    t.returned += moved;
    takeIdleFigures(t);
    t.entries -= ticks - q;
    t.wraps -= ticks - q;
    row.push_back(t);
  }
  idleTicks_ = std::move(row);
}

void CortexM3::takeIdleFigures(IdleTick& t) {
  t.mmio = mmioAccesses_;
  t.ramChanges = cpu_->ramChanges;
  t.epoch = deadStackEpoch_;
  t.realEntries = entries_ - repeatedHandlers_;
  t.entries = entries_;
  t.wraps = board_.sysTick().wraps();
}

}  // namespace sim
