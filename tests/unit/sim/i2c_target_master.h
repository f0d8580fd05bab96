// A bare I2C master for testing chip models through their bus interface: it
// runs whole transactions against one target and lets the virtual clock pass
// while the target stretches the clock.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/core/clock.h"
#include "sim/devices/i2c_target.h"

namespace testing_i2c {

struct Reply {
  bool acked = false;       // address acknowledged
  sim::Time stretched = 0;  // clock held low after the address
  std::vector<std::uint8_t> bytes;
};

// START, address with write, the bytes, STOP. False when the address or a byte
// was not acknowledged.
inline bool writeBytes(sim::I2cTarget& target, sim::Clock& clock, const std::vector<std::uint8_t>& bytes) {
  if (!target.start(false)) return false;
  clock.advanceTo(clock.now() + target.stretch(clock.now()));
  for (std::uint8_t b : bytes) {
    if (!target.write(b)) {
      target.stop();
      return false;
    }
    clock.advanceTo(clock.now() + target.stretch(clock.now()));
  }
  target.stop();
  return true;
}

// START, address with read, `count` bytes (the last not acknowledged), STOP.
inline Reply readBytes(sim::I2cTarget& target, sim::Clock& clock, std::size_t count) {
  Reply reply;
  reply.acked = target.start(true);
  if (!reply.acked) return reply;
  reply.stretched = target.stretch(clock.now());
  clock.advanceTo(clock.now() + reply.stretched);
  for (std::size_t i = 0; i < count; ++i) {
    reply.bytes.push_back(target.read());
    target.readAcknowledged(i + 1 < count);
  }
  target.stop();
  return reply;
}

// A register read as the firmware does it: the register address in a write
// ended by a STOP, then a read.
inline std::vector<std::uint8_t> readRegisters(sim::I2cTarget& target, sim::Clock& clock, std::uint8_t reg,
                                               std::size_t count) {
  if (!writeBytes(target, clock, {reg})) return {};
  return readBytes(target, clock, count).bytes;
}

}  // namespace testing_i2c
