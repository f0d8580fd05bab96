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

void InterruptController::enter(int exception) {
  std::size_t i = index(exception);
  pending_[i] = false;
  active_[i] = true;
  ++taken_;
  stack_.push_back(exception);
  clock_.spendCycles(kEntryCycles);
  if (entryObserver_) entryObserver_(exception);
}

int InterruptController::leave() {
  if (stack_.empty()) throw Stop(StopKind::Fault, "exception return in thread mode");
  int exception = stack_.back();
  std::size_t i = index(exception);
  clock_.spendCycles(kExitCycles);
  stack_.pop_back();
  active_[i] = false;
  if (exception >= kFirstIrq && line_[i]) pending_[i] = true;  // level still asserted: taken again
  return exception;
}

void InterruptController::run(int exception) {
  std::size_t i = index(exception);
  pending_[i] = false;
  const Vector& v = vectors_[i];
  if (v.handler == nullptr) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "exception %d (%s) taken through an unused vector", exception, v.name);
    throw Stop(StopKind::Fault, buf);
  }
  active_[i] = true;
  ++taken_;
  stack_.push_back(exception);
  clock_.spendCycles(kEntryCycles);
  if (entryObserver_) entryObserver_(exception);
  v.handler();
  clock_.spendCycles(kExitCycles);
  stack_.pop_back();
  active_[i] = false;
  if (line_[i]) pending_[i] = true;  // level still asserted: taken again
}

}  // namespace sim
