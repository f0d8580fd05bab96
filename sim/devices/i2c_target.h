// A chip on one of the board's I2C buses, as the bus sees it: addressed by a
// START, then bytes and acknowledges until a STOP or a repeated START. The bus
// (the I2C peripheral model and the bus joining it to its targets) turns these
// into bits on the SCL and SDA nets, with their timing; a target only says
// what the chip answers and how long it holds the clock low.
#pragma once

#include <cstdint>
#include <string>

#include "../core/virtual_time.h"

namespace sim {

class I2cTarget {
 public:
  virtual ~I2cTarget() = default;

  // For logs and messages: "HTU21 (temperature and humidity)".
  virtual std::string name() const = 0;
  // The 7-bit address the chip answers to.
  virtual std::uint8_t address() const = 0;

  // A START or repeated START carried this target's address; `read` when the
  // master reads next. True to acknowledge the address. A chip that is not
  // reachable now (asleep behind another, in reset) answers false.
  virtual bool start(bool read) = 0;
  // The master wrote a byte; true to acknowledge it.
  virtual bool write(std::uint8_t byte) = 0;
  // The master clocks in the next byte from the chip.
  virtual std::uint8_t read() = 0;
  // The master acknowledged the byte it read (false: not acknowledged, its last).
  virtual void readAcknowledged(bool /*ack*/) {}
  // A STOP ended the transaction (also called when a START to another address
  // takes the bus from this target).
  virtual void stop() = 0;

  // Clock stretching: asked after each acknowledge bit this target took part
  // in (the address's and each byte's), at virtual time `now`. The target holds
  // SCL low for the returned duration before the master can clock the next
  // byte; 0 releases it at once. A chip measuring in hold-master mode returns
  // the time until its conversion ends.
  virtual Time stretch(Time /*now*/) { return 0; }
};

}  // namespace sim
