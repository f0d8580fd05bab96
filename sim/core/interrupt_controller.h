// The Cortex-M3 exception engine of the virtual board: enable, pending and
// active state of every exception, priorities under the AIRCR grouping,
// PRIMASK, and the taking of exceptions. Its registers (NVIC, SCB) are register
// files of their own in sim/peripherals.
//
// Handlers are host functions (the firmware's own), called on the host stack at
// the moment the core would take them: at a register access or idle hint after
// the exception became pending, when its group priority beats the running one.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "listeners.h"
#include "timing_tolerances.h"

namespace sim {

class Clock;

class InterruptController {
 public:
  static constexpr int kPendSV = 14;
  static constexpr int kSysTick = 15;
  static constexpr int kFirstIrq = 16;
  static constexpr int kIrqLines = 45;  // STM32L1 medium density
  static constexpr int kExceptions = kFirstIrq + kIrqLines;
  static constexpr unsigned kPriorityBits = 4;  // implemented, the upper nibble of each byte
  // Nominal cost of taking an exception (stacking, vector fetch) and of
  // returning from one (unstacking). A timing seed draws each entry, return
  // and tail-chain from the spread the core shows with the board's flash wait
  // state: the vector fetch and the handler's first fetch each wait up to one
  // cycle more, a multi-cycle instruction (a load or store of several
  // registers, a division) delays the entry until it is abandoned or done.
  static constexpr std::uint32_t kEntryCycles = 12;
  static constexpr std::uint32_t kExitCycles = 10;
  static constexpr std::uint32_t kMaxEntryCycles = 16;
  static constexpr std::uint32_t kMaxExitCycles = 12;
  // A pending exception taken straight from a handler's return skips the
  // unstacking and stacking (tail-chaining), with a seed only: the nominal
  // run keeps its full return and entry.
  static constexpr std::uint32_t kTailChainCycles = 6;
  static constexpr std::uint32_t kMaxTailChainCycles = 8;

  using Handler = void (*)();
  struct Vector {
    const char* name;
    Handler handler;  // nullptr: unused vector; taking it stops the run
  };

  InterruptController(Clock& clock, std::vector<Vector> vectors);

  // Where entry, return and tail-chain costs fall: nominal (the default) keeps
  // the fixed costs and no tail-chaining or late arrival; with a seed each is
  // drawn, a pending exception is tail-chained, and one of higher priority
  // pended during an entry is taken in its place (late arrival).
  void setTiming(const TimingTolerances& timing);
  bool nominalTiming() const { return nominal_; }

  // Exception number of device interrupt line n.
  static constexpr int irq(int line) { return kFirstIrq + line; }

  // A peripheral's interrupt line. A rising level makes the interrupt pending;
  // a level still high when its handler returns makes it pending again.
  void setLine(int line, bool high);
  // The level a peripheral holds its interrupt line at now.
  bool lineHigh(int line) const { return line_[index(irq(line))]; }
  // Pends an exception directly (SysTick, PendSV, or a device line).
  void setPending(int exception);
  // Clears a pending state; a device line whose source still asserts it stays
  // pending, as on the core.
  void clearPending(int exception);
  void setEnabled(int exception, bool on);

  bool isPending(int exception) const { return pending_[index(exception)]; }
  bool isActive(int exception) const { return active_[index(exception)]; }
  bool isEnabled(int exception) const;

  // The priority byte of an exception (device lines and system handlers 4..15);
  // only the implemented upper bits are kept.
  std::uint8_t priorityByte(int exception) const;
  void setPriorityByte(int exception, std::uint8_t byte);
  // Pre-emption and sub-priority of an exception under the current grouping,
  // counted in the 4 implemented priority bits.
  unsigned preemptionPriority(int exception) const;
  unsigned subPriority(int exception) const;
  unsigned priorityGrouping() const { return priGroup_; }
  void setPriorityGrouping(unsigned group) { priGroup_ = group & 7u; }

  bool primask() const { return primask_; }
  void setPrimask(bool masked) { primask_ = masked; }

  // Takes every pending exception that may pre-empt what runs now, nested and in
  // the order the core would.
  void takePending();

  // An emulated core that stacks and unstacks exceptions itself (the board
  // image) asks here which exception to take and reports entry and return;
  // takePending() then leaves the taking to it.
  void setExternalCore(bool external) { externalCore_ = external; }
  bool externalCore() const { return externalCore_; }
  // The exception the core takes at its next instruction boundary, or -1.
  int nextToTake() const;
  // The core enters `exception`: no longer pending, active, running. Returns
  // the exception whose handler runs: with a seed, one of higher priority that
  // pended during the entry arrives late and is entered instead (`exception`
  // stays pending).
  int enter(int exception);
  // The core returns from the innermost running exception; that exception's
  // number. Throws Stop(Fault) in thread mode.
  int leave();
  // The running exception (innermost), or 0 in thread mode.
  int running() const { return stack_.empty() ? 0 : stack_.back(); }

  // Number of handlers running (nested), 0 in thread mode.
  std::size_t depth() const { return stack_.size(); }
  // The exception being handled now, 0 in thread mode.
  int activeException() const { return stack_.empty() ? 0 : stack_.back(); }
  // Exceptions taken since power-on.
  std::uint64_t taken() const { return taken_; }
  // Called at each handler entry with the exception number (tests, traces).
  void onEntry(std::function<void(int)> observer) { entryObserver_ = std::move(observer); }

  // Every exception entry and return, as they happen (the irq log).
  struct Event {
    bool entry;         // false: the return from `exception`
    int exception;
    bool tailChained;   // an entry straight from a return, or a return into one
    bool lateArrival;   // an entry that took the place of a lower one
  };
  [[nodiscard]] Subscription onEvent(std::function<void(const Event&)> listener) {
    return events_.add(std::move(listener));
  }
 private:
  static std::size_t index(int exception) {
    if (exception < 1 || exception >= kExceptions) noSuchException(exception);
    return static_cast<std::size_t>(exception);
  }
  [[noreturn, gnu::noinline, gnu::cold]] static void noSuchException(int exception);
  unsigned groupOf(int exception) const;  // group priority, byte-based
  unsigned preemptionBits() const;
  int bestPending() const;
  unsigned runningGroup() const;
  void run(int exception);
  // Spends the cost of an entry and takes a late arrival in its place (see
  // enter()); returns the exception now on top of the stack.
  int stack(int exception);
  // Pops the innermost exception, spending its return (or leaving the cost to
  // the tail-chained entry that follows).
  int unstack();
  [[noreturn]] void unusedVector(int exception) const;
  std::uint32_t draw(TimingTolerances::Stream& stream, std::uint32_t typical, std::uint32_t high);

  Clock& clock_;
  std::vector<Vector> vectors_;
  std::bitset<kExceptions> pending_;
  std::array<bool, kExceptions> active_{};
  std::bitset<kExceptions> enabled_;
  std::array<bool, kExceptions> line_{};
  std::array<std::uint8_t, kExceptions> priority_{};  // NMI and HardFault stay 0: fixed, never pended here
  unsigned priGroup_ = 0;
  bool primask_ = false;
  bool externalCore_ = false;
  std::vector<int> stack_;
  std::uint64_t taken_ = 0;
  std::function<void(int)> entryObserver_;
  Listeners<const Event&> events_;
  bool nominal_ = true;
  TimingTolerances::Stream entryCycles_ = TimingTolerances{}.stream("");
  TimingTolerances::Stream exitCycles_ = TimingTolerances{}.stream("");
  TimingTolerances::Stream tailChainCycles_ = TimingTolerances{}.stream("");
  // The last return left its cost to a tail-chained entry.
  bool chained_ = false;
};

}  // namespace sim
