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
  static constexpr std::uint32_t kEntryCycles = 12;
  static constexpr std::uint32_t kExitCycles = 10;

  using Handler = void (*)();
  struct Vector {
    const char* name;
    Handler handler;  // nullptr: unused vector; taking it stops the run
  };

  InterruptController(Clock& clock, std::vector<Vector> vectors);

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
  // The exception the core takes at its next instruction boundary, or -1.
  int nextToTake() const;
  // The core enters `exception`: no longer pending, active, running.
  void enter(int exception);
  // The core returns from the innermost running exception; that exception's
  // number. Throws Stop(Fault) in thread mode.
  int leave();
  // The running exception (innermost), or 0 in thread mode.
  int running() const { return stack_.empty() ? 0 : stack_.back(); }

  // Number of handlers running (nested), 0 in thread mode.
  std::size_t depth() const { return stack_.size(); }
  // The exception being handled now, 0 in thread mode.
  int activeException() const { return stack_.empty() ? 0 : stack_.back(); }
  // Called at each handler entry with the exception number (tests, traces).
  void onEntry(std::function<void(int)> observer) { entryObserver_ = std::move(observer); }

 private:
  static std::size_t index(int exception);
  unsigned groupOf(int exception) const;  // group priority, byte-based
  unsigned preemptionBits() const;
  int bestPending() const;
  unsigned runningGroup() const;
  void run(int exception);

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
  std::function<void(int)> entryObserver_;
};

}  // namespace sim
