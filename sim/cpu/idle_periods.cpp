// Idle periods: the firmware waits in a loop and the SysTick handler, each run
// a repeat of one remembered, interrupts it tick after tick. The loop's place
// at each tick moves on by the instructions it runs between two ticks, and
// after some ticks it is back where it was, in the same state. From there the
// same ticks come again, at the same places and the same offsets from their
// wraps, for as long as nothing else happens on the board: whole such periods
// pass here at once, each tick still entered and left at its own time.
#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "cortex_m3.h"

namespace sim {

namespace {
constexpr Time kMostIdleTime = seconds(1);
}  // namespace

void CortexM3::passIdlePeriods() {
  Clock& clock = board_.clock();
  InterruptController& ic = board_.interrupts();
  const SysTickTimer& tick = board_.sysTick();
  IdleTick now = lastRepeat_;
  now.mmio = mmioAccesses_;
  now.ramChanges = ramChanges_;
  now.epoch = deadStackEpoch_;
  now.realEntries = entries_ - repeatedHandlers_;
  now.entries = entries_;
  now.wraps = tick.wraps();
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
  if (!board_.pollSkipping()) return;

  // The same place as some ticks ago: the registers are those of the same
  // remembered run, memory and the board's registers are as they were then.
  auto samePlace = [&now](const IdleTick& t) { return t.key == now.key && t.exception == now.exception; };
  std::size_t last = idleTicks_.size() - 1;
  std::size_t from = last;
  while (from > 0 && !samePlace(idleTicks_[from - 1])) --from;
  if (from == 0) {
    if (!resumeIdlePeriod(now)) return;
    last = idleTicks_.size() - 1;
    from = 1;
  }
  const IdleTick& was = idleTicks_[--from];
  const std::uint64_t ticks = last - from;
  for (std::size_t j = from + 1; j <= last; ++j) {
    if (idleTicks_[j].exception != InterruptController::kSysTick) return;
  }
  // ... as many SysTick periods later, with a wrap for each tick: the wraps
  // to come fall where those did, shifted by the span.
  const Time period = tick.steadyPeriod();
  const Time span = now.returned - was.returned;
  if (period == 0 || now.entered - was.entered != span || now.wraps - was.wraps != ticks ||
      span != static_cast<Time>(ticks) * period) {
    return;
  }
  if (idlePeriod_.size() != ticks + 1 || idlePeriod_.back().entries != now.entries) {
    idlePeriod_.assign(idleTicks_.begin() + static_cast<std::ptrdiff_t>(from), idleTicks_.end());
    idlePeriodHandlers_ = handlersRemembered_;
  }
  // Whole spans that end before anything but a wrap is due, within the
  // run's time limit.
  const Time end = std::min(clock.nextEventTimeOtherThan(tick.wrapEvent()), clock.limit());
  if (end <= now.returned) return;
  // At most about a second of board time in one go: with nothing else
  // scheduled, the instructions run between goes still end the stretch in
  // good time, and the run looks at its caller (a debugger's interrupt).
  const Time spans = std::min((end - now.returned - 1) / span, std::max<Time>(1, kMostIdleTime / span));
  if (spans == 0) return;

  for (Time k = 1; k <= spans; ++k) {
    for (std::size_t j = from + 1; j <= last; ++j) {
      const IdleTick& t = idleTicks_[j];
      clock.advanceTo(t.entered + k * span);
      if (ic.nextToTake() != t.exception) {
        throw std::logic_error("an idle period passed at once went otherwise than the one it repeats");
      }
      ic.enter(t.exception);
      ++entries_;
      forward_.spend(t.instructions);
      ic.leave();
      ++repeatedHandlers_;
    }
  }
  if (clock.now() != now.returned + spans * span) {
    throw std::logic_error("an idle period passed at once ended at another time than the one it repeats");
  }
  // The loop ran between the ticks: every cycle of the spans but the entries
  // and returns is an instruction, the handlers' included.
  const std::uint64_t perSpan = static_cast<std::uint64_t>(span / clock.quantaPerCoreCycle()) -
                                ticks * (InterruptController::kEntryCycles + InterruptController::kExitCycles);
  skipped_ += static_cast<std::uint64_t>(spans) * perSpan;
  // The ticks of the period move on with the board, so the next tick finds
  // its period again; those before it are forgotten.
  idleTicks_.erase(idleTicks_.begin(), idleTicks_.begin() + static_cast<std::ptrdiff_t>(from));
  for (IdleTick& t : idleTicks_) {
    t.entered += spans * span;
    t.returned += spans * span;
    t.entries += static_cast<std::uint64_t>(spans) * ticks;
    t.wraps += static_cast<std::uint64_t>(spans) * ticks;
  }
  idlePeriod_ = idleTicks_;
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
  while (at <= ticks && !(idlePeriod_[at].key == now.key && idlePeriod_[at].exception == now.exception)) ++at;
  if (at > ticks) return false;
  const IdleTick& seen = idlePeriod_[at];
  if (now.entered < seen.entered) return false;
  const Time shift = now.entered - seen.entered;
  if (shift % period != 0 || now.returned - seen.returned != shift) return false;
  // The period as it would have gone just before this tick: from the same
  // tick one span earlier up to this one, with today's figures.
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
    t.mmio = now.mmio;
    t.ramChanges = now.ramChanges;
    t.epoch = now.epoch;
    t.realEntries = now.realEntries;
    t.entries = now.entries - (ticks - q);
    t.wraps = now.wraps - (ticks - q);
    row.push_back(t);
  }
  idleTicks_ = std::move(row);
  return true;
}

}  // namespace sim
