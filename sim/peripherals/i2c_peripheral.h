// An I2C peripheral of the virtual board. For now its registers hold what the
// firmware writes (bus set-up); the bus state machine with its flags and timing
// comes with the sensor transfers.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "../core/bus.h"

namespace sim {

class I2cPeripheral : public Peripheral {
 public:
  explicit I2cPeripheral(std::string name) : name_(std::move(name)) {}
  std::string name() const override { return name_; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  void reset() override;

  // Register value by offset (0x00 CR1 .. 0x20 TRISE).
  std::uint16_t reg(std::uint32_t offset) const { return regs_.at(offset / 4); }

 private:
  std::string name_;
  std::array<std::uint16_t, 9> regs_{0, 0, 0, 0, 0, 0, 0, 0, 0x0002};  // TRISE resets to 2
};

}  // namespace sim
