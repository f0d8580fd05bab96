// Flash interface registers (access control: 64-bit access, prefetch, wait state).
#pragma once

#include <cstdint>
#include <string>

#include "../core/bus.h"

namespace sim {

class FlashInterface : public Peripheral {
 public:
  std::string name() const override { return "FLASH"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

  std::uint32_t acr() const { return acr_; }

 private:
  std::uint32_t acr_ = 0;
  std::uint32_t pecr_ = 0x00000007u;  // locked after reset
};

}  // namespace sim
