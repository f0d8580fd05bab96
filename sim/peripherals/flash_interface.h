// Flash interface registers (access control: 64-bit access, prefetch, wait state).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "../core/bus.h"
#include "../core/listeners.h"

namespace sim {

class FlashInterface : public Peripheral {
 public:
  std::string name() const override { return "FLASH"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

  std::uint32_t acr() const { return acr_; }
  // Wait states in force (ACR LATENCY): 0 or 1.
  unsigned waitStates() const;
  // After every write of ACR.
  [[nodiscard]] Subscription onChange(std::function<void()> listener) { return changed_.add(std::move(listener)); }

 private:
  Listeners<> changed_;
  std::uint32_t acr_ = 0;
  std::uint32_t pecr_ = 0x00000007u;  // locked after reset
  // PDKEYR, PEKEYR, PRGKEYR, OPTKEYR, SR, OBR, WRPR (offsets 0x08..0x20): stored only.
  std::array<std::uint32_t, 7> others_{0, 0, 0, 0, 0x0000000Cu, 0, 0};  // SR: ready, high voltage done
};

}  // namespace sim
