// The Cortex-M3 interrupt controller of the virtual board: NVIC and the system
// control block registers, PRIMASK, and the taking of exceptions.
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

#include "bus.h"

namespace sim {

class Clock;

class InterruptController {
 public:
  static constexpr int kPendSV = 14;
  static constexpr int kSysTick = 15;
  static constexpr int kFirstIrq = 16;
  static constexpr int kIrqLines = 45;  // STM32L1 medium density
  static constexpr int kExceptions = kFirstIrq + kIrqLines;
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

  bool isPending(int exception) const { return pending_[index(exception)]; }
  bool isActive(int exception) const { return active_[index(exception)]; }
  bool isEnabled(int exception) const;
  // Pre-emption and sub-priority of an exception under the current grouping,
  // counted in the 4 implemented priority bits.
  unsigned preemptionPriority(int exception) const;
  unsigned subPriority(int exception) const;
  unsigned priorityGrouping() const { return priGroup_; }

  bool primask() const { return primask_; }
  void setPrimask(bool masked) { primask_ = masked; }

  // Takes every pending exception that may pre-empt what runs now, nested and in
  // the order the core would.
  void takePending();

  // Number of handlers running (nested), 0 in thread mode.
  std::size_t depth() const { return stack_.size(); }
  // Called at each handler entry with the exception number (tests, traces).
  void onEntry(std::function<void(int)> observer) { entryObserver_ = std::move(observer); }

  // NVIC_BASE, 0x400 bytes: enable, pending, active and priority registers.
  Peripheral& nvicRegisters() { return nvicRegs_; }
  // The software trigger register, at NVIC_BASE + 0xE00 (above the SCB).
  Peripheral& softwareTriggerRegister() { return stirReg_; }
  Peripheral& scbRegisters() { return scbRegs_; }

 private:
  class NvicRegisters : public Peripheral {
   public:
    explicit NvicRegisters(InterruptController& ic) : ic_(ic) {}
    std::string name() const override { return "NVIC"; }
    std::uint32_t read(std::uint32_t offset, unsigned width) override;
    void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

   private:
    InterruptController& ic_;
  };
  class StirRegister : public Peripheral {
   public:
    explicit StirRegister(InterruptController& ic) : ic_(ic) {}
    std::string name() const override { return "NVIC STIR"; }
    std::uint32_t read(std::uint32_t, unsigned) override { return 0; }
    void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

   private:
    InterruptController& ic_;
  };
  class ScbRegisters : public Peripheral {
   public:
    explicit ScbRegisters(InterruptController& ic) : ic_(ic) {}
    std::string name() const override { return "SCB"; }
    std::uint32_t read(std::uint32_t offset, unsigned width) override;
    void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

   private:
    InterruptController& ic_;
    std::array<std::uint32_t, 16> slots_{};  // plain storage of the registers not modelled
  };

  static std::size_t index(int exception);
  std::uint8_t priorityByte(int exception) const;
  unsigned groupOf(int exception) const;  // group priority, byte-based
  int bestPending() const;
  unsigned runningGroup() const;
  void run(int exception);
  template <typename Set>
  std::uint32_t bits(const Set& set, unsigned word) const;

  Clock& clock_;
  std::vector<Vector> vectors_;
  std::bitset<kExceptions> pending_;
  std::array<bool, kExceptions> active_{};
  std::bitset<kExceptions> enabled_;
  std::array<bool, kExceptions> line_{};
  std::array<std::uint8_t, kIrqLines> irqPriority_{};
  std::array<std::uint8_t, 12> shpr_{};  // system handler priorities, exceptions 4..15
  unsigned priGroup_ = 0;
  std::uint32_t vtor_ = 0;
  bool primask_ = false;
  std::vector<int> stack_;
  std::function<void(int)> entryObserver_;
  NvicRegisters nvicRegs_{*this};
  StirRegister stirReg_{*this};
  ScbRegisters scbRegs_{*this};
};

}  // namespace sim
