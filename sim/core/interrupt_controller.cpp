#include "interrupt_controller.h"

#include <bit>
#include <cstdio>

#include "clock.h"
#include "stop.h"

namespace sim {

static_assert(InterruptController::kExceptions <= 64, "pending and enabled exceptions are picked from one 64-bit word");

InterruptController::InterruptController(Clock& clock, std::vector<Vector> vectors)
    : clock_(clock), vectors_(std::move(vectors)) {
  vectors_.resize(kExceptions, Vector{"reserved", nullptr});
  enabled_[kSysTick] = true;  // SysTick pends only when its TICKINT is on
  enabled_[kPendSV] = true;
  stack_.reserve(kExceptions);  // nesting never allocates
}

void InterruptController::noSuchException(int exception) {
  throw Stop(StopKind::Fault, "no such exception number " + std::to_string(exception));
}

bool InterruptController::isEnabled(int exception) const { return enabled_[index(exception)]; }

void InterruptController::setLine(int line, bool high) {
  int exc = irq(line);
  std::size_t i = index(exc);
  if (high && !line_[i]) pending_[i] = true;
  line_[i] = high;
}

void InterruptController::setPending(int exception) { pending_[index(exception)] = true; }

void InterruptController::clearPending(int exception) {
  std::size_t i = index(exception);
  pending_[i] = line_[i];
}

void InterruptController::setEnabled(int exception, bool on) { enabled_[index(exception)] = on; }

std::uint8_t InterruptController::priorityByte(int exception) const { return priority_[index(exception)]; }

void InterruptController::setPriorityByte(int exception, std::uint8_t byte) {
  std::size_t i = index(exception);
  if (exception < 4) return;  // NMI and HardFault have fixed priorities
  constexpr std::uint8_t kImplemented = static_cast<std::uint8_t>(0xFFu << (8 - kPriorityBits));
  priority_[i] = byte & kImplemented;
}

unsigned InterruptController::groupOf(int exception) const {
  return static_cast<unsigned>(priorityByte(exception)) >> (priGroup_ + 1);
}

// PRIGROUP splits the byte at bit PRIGROUP + 1; of the implemented bits 7..4 the
// group part holds min(4, 7 - PRIGROUP).
unsigned InterruptController::preemptionBits() const {
  unsigned bits = 7 - priGroup_;
  return bits > kPriorityBits ? kPriorityBits : bits;
}

unsigned InterruptController::preemptionPriority(int exception) const {
  unsigned raw = priorityByte(exception) >> (8 - kPriorityBits);
  return raw >> (kPriorityBits - preemptionBits());
}

unsigned InterruptController::subPriority(int exception) const {
  unsigned raw = priorityByte(exception) >> (8 - kPriorityBits);
  return raw & ((1u << (kPriorityBits - preemptionBits())) - 1u);
}

int InterruptController::bestPending() const {
  // Only the exceptions both pending and enabled are looked at, lowest number
  // first; none below PendSV is ever pended here.
  std::uint64_t ready = (pending_ & enabled_).to_ullong() & ~((std::uint64_t{1} << kPendSV) - 1u);
  int best = -1;
  while (ready != 0) {
    int exc = std::countr_zero(ready);
    ready &= ready - 1;
    // The whole priority byte orders group first, then sub-priority; equal bytes
    // go by exception number, lowest first.
    if (best < 0 || priority_[static_cast<std::size_t>(exc)] < priority_[static_cast<std::size_t>(best)]) best = exc;
  }
  return best;
}

unsigned InterruptController::runningGroup() const {
  unsigned running = 0x100;  // thread mode
  for (int exc : stack_) {
    unsigned g = groupOf(exc);
    if (g < running) running = g;
  }
  return running;
}

void InterruptController::takePending() {
  if (externalCore_) return;
  // Runs at every register access: most of the time nothing is pending.
  while (!primask_ && (pending_ & enabled_).any()) {
    int exc = bestPending();
    if (exc < 0 || groupOf(exc) >= runningGroup()) return;
    run(exc);
  }
}

int InterruptController::nextToTake() const {
  if (primask_ || !(pending_ & enabled_).any()) return -1;
  int exc = bestPending();
  if (exc < 0 || groupOf(exc) >= runningGroup()) return -1;
  return exc;
}

void InterruptController::setTiming(const TimingTolerances& timing) {
  nominal_ = timing.nominal();
  entryCycles_ = timing.stream("interrupt entry cycles");
  exitCycles_ = timing.stream("interrupt return cycles");
  tailChainCycles_ = timing.stream("interrupt tail-chain cycles");
}

std::uint32_t InterruptController::draw(TimingTolerances::Stream& stream, std::uint32_t typical, std::uint32_t high) {
  return static_cast<std::uint32_t>(stream.draw(typical, typical, high));
}

int InterruptController::stack(int exception) {
  std::size_t i = index(exception);
  const bool chained = chained_;
  chained_ = false;
  active_[i] = true;
  ++taken_;
  stack_.push_back(exception);
  clock_.spendCycles(chained ? draw(tailChainCycles_, kTailChainCycles, kMaxTailChainCycles)
                             : draw(entryCycles_, kEntryCycles, kMaxEntryCycles));
  bool late = false;
  if (!nominal_ && !primask_) {
    // Late arrival: an exception that would pre-empt this one pended while it
    // was being stacked; the core fetches that vector instead and runs the
    // first one after it, tail-chained.
    int other = bestPending();
    if (other >= 0 && groupOf(other) < groupOf(exception)) {
      std::size_t j = index(other);
      pending_[i] = true;
      active_[i] = false;
      pending_[j] = false;
      active_[j] = true;
      stack_.back() = other;
      exception = other;
      late = true;
    }
  }
  if (entryObserver_) entryObserver_(exception);
  events_(Event{true, exception, chained, late});
  return exception;
}

int InterruptController::unstack() {
  if (stack_.empty()) throw Stop(StopKind::Fault, "exception return in thread mode");
  int exception = stack_.back();
  std::size_t i = index(exception);
  if (nominal_) {
    clock_.spendCycles(kExitCycles);
    stack_.pop_back();
    active_[i] = false;
    if (exception >= kFirstIrq && line_[i]) pending_[i] = true;  // level still asserted: taken again
  } else {
    stack_.pop_back();
    active_[i] = false;
    if (exception >= kFirstIrq && line_[i]) pending_[i] = true;
    // An exception that may run now is entered without unstacking first.
    chained_ = nextToTake() >= 0;
    if (!chained_) clock_.spendCycles(draw(exitCycles_, kExitCycles, kMaxExitCycles));
  }
  events_(Event{false, exception, chained_, false});
  return exception;
}

int InterruptController::enter(int exception) {
  pending_[index(exception)] = false;
  return stack(exception);
}

int InterruptController::leave() { return unstack(); }

void InterruptController::run(int exception) {
  std::size_t i = index(exception);
  pending_[i] = false;
  const Vector* v = &vectors_[i];
  if (v->handler == nullptr) unusedVector(exception);
  int ran = stack(exception);
  if (ran != exception) {
    v = &vectors_[index(ran)];
    if (v->handler == nullptr) unusedVector(ran);
  }
  v->handler();
  unstack();
}

void InterruptController::unusedVector(int exception) const {
  char buf[96];
  std::snprintf(buf, sizeof buf, "exception %d (%s) taken through an unused vector", exception,
                vectors_[index(exception)].name);
  throw Stop(StopKind::Fault, buf);
}

}  // namespace sim
