// The system control block's registers: CPUID, the interrupt control and state
// register (SysTick and PendSV pending, the active exception), the vector
// table offset, AIRCR (priority grouping, reset request), the priority bytes of
// the system handlers (SysTick's among them) and the fault status registers,
// kept as written.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "../core/bus.h"
#include "../core/interrupt_controller.h"

namespace sim {

class ScbRegisters : public Peripheral {
 public:
  explicit ScbRegisters(InterruptController& engine) : engine_(engine) {}
  std::string name() const override { return "SCB"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  // Vector table offset (VTOR): where an emulated core reads its vectors.
  std::uint32_t vectorTableOffset() const { return vtor_; }

 private:
  InterruptController& engine_;
  std::uint32_t vtor_ = 0;
  std::array<std::uint32_t, 16> slots_{};  // plain storage of the registers not modelled
};

}  // namespace sim
