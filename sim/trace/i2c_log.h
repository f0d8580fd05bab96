// The I2C log: one line per transaction on either bus, written as each ends.
//
//   0.012345678 I2C1 0x40 write addr:ACK E3:ACK 00:NACK end:STOP
//   0.013001234 I2C1 0x40 read addr:ACK 6B:ACK 3C:NACK end:STOP
//   0.020000000 I2C1 0x23 write addr:NACK end:STOP
//
// Virtual time of the START in seconds, the bus, the 7-bit address, the
// direction, the address byte's acknowledge, each byte (hex) with its
// acknowledge, and how the transaction ended: STOP, repeated-START,
// arbitration-lost, abandoned (the master was disabled or reset midway) or
// open (the run ended while it still held the bus: a refused address that a
// polling transfer leaves without a STOP, say);
// " bus-error" follows when a misplaced START or STOP was seen during it.
#pragma once

#include <cstdio>
#include <string>

#include "../devices/i2c_bus.h"

namespace sim {

std::string formatI2cTransaction(const I2cTransaction& transaction);

class I2cLog {
 public:
  // Opens (truncates) the file; throws std::runtime_error when it cannot.
  I2cLog(const std::string& path, I2cBus& bus1, I2cBus& bus2);
  // Writes to a file opened elsewhere, which stays open (and is the owner's to check).
  I2cLog(std::FILE* file, I2cBus& bus1, I2cBus& bus2);
  // Writes the transactions still in progress, ended "open", so that the log
  // holds everything the buses saw.
  ~I2cLog();
  I2cLog(const I2cLog&) = delete;
  I2cLog& operator=(const I2cLog&) = delete;

  // Writes out what is buffered; false when any write failed.
  bool flush();

 private:
  void write(const I2cTransaction& transaction);

  std::FILE* file_;
  bool owned_ = true;
  bool failed_ = false;
  I2cBus& busOne_;
  I2cBus& busTwo_;
  Subscription bus1_, bus2_;
};

}  // namespace sim
