// A generic chip on an I2C bus: 256 byte registers behind an address pointer.
// The first byte of a write sets the pointer, further bytes are stored from it
// on; a read returns registers from the pointer on. The pointer advances after
// every byte and wraps at 256. Useful wherever a test needs a well-behaved
// device; it can also hold the clock low after each acknowledge, as a chip busy
// converting does.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "i2c_target.h"

namespace sim {

class RegisterFileTarget : public I2cTarget {
 public:
  explicit RegisterFileTarget(std::uint8_t address, std::string name = "register file");

  std::string name() const override { return name_; }
  std::uint8_t address() const override { return address_; }
  bool start(bool read) override;
  bool write(std::uint8_t byte) override;
  std::uint8_t read() override;
  void stop() override;
  Time stretch(Time now) override;

  std::uint8_t reg(std::uint8_t index) const { return regs_[index]; }
  void setReg(std::uint8_t index, std::uint8_t value) { regs_[index] = value; }
  std::uint8_t pointer() const { return pointer_; }
  // Holds SCL low this long after the acknowledge of a read's address.
  void setReadStretch(Time duration) { readStretch_ = duration; }
  // Transactions addressed to it (acknowledged START), for tests.
  unsigned transactions() const { return transactions_; }

 private:
  std::uint8_t address_;
  std::string name_;
  std::array<std::uint8_t, 256> regs_{};
  std::uint8_t pointer_ = 0;
  bool reading_ = false;
  bool pointerSet_ = false;  // the first byte of this write has set the pointer
  bool stretchDue_ = false;
  Time readStretch_ = 0;
  unsigned transactions_ = 0;
};

}  // namespace sim
