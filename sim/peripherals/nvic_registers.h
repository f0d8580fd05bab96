// The NVIC's registers: set-enable, clear-enable, set-pending, clear-pending,
// active bits and the priority bytes of the device interrupt lines, and the
// software trigger register (at a distance, above the system control block).
// They read and change the state of the core's exception engine.
#pragma once

#include <cstdint>
#include <string>

#include "../core/bus.h"
#include "../core/interrupt_controller.h"

namespace sim {

class NvicRegisters : public Peripheral {
 public:
  explicit NvicRegisters(InterruptController& engine) : engine_(engine) {}
  std::string name() const override { return "NVIC"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

 private:
  // The 32 lines of `word` as bits, from `state` (enabled, pending or active).
  template <typename State>
  std::uint32_t lineBits(unsigned word, State state) const;

  InterruptController& engine_;
};

// STIR: writing a line number pends that line.
class SoftwareTriggerRegister : public Peripheral {
 public:
  explicit SoftwareTriggerRegister(InterruptController& engine) : engine_(engine) {}
  std::string name() const override { return "NVIC STIR"; }
  std::uint32_t read(std::uint32_t, unsigned) override { return 0; }  // write-only
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

 private:
  InterruptController& engine_;
};

}  // namespace sim
