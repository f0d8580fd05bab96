// Faults a test or script can put on a chip of an I2C bus, by its 7-bit
// address. They act on every transaction with that address until cleared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct I2cFault {
  enum class Kind : std::uint8_t {
    Absent,           // the address is not acknowledged
    NackData,         // data byte n (1 = the first after the address) of a write is not acknowledged
    ArbitrationLost,  // another master wins the bus during byte n the master sends (0 = the address)
    BusError,         // a glitch on SDA during the address byte: a misplaced START and STOP
    SdaStuck,         // the chip acknowledges its address, then holds SDA low
    StretchForever,   // the chip acknowledges its address, then holds SCL low
  };
  Kind kind = Kind::Absent;
  unsigned n = 0;
};

// "absent", "nack-data 2", "arbitration-lost 0", "bus-error", "sda-stuck",
// "stretch-forever"; nullopt with a reason in `error` otherwise.
std::optional<I2cFault> parseI2cFault(std::string_view text, std::string& error);
// A 7-bit address as written in scripts: "0x40" or "64"; nullopt with a
// reason in `error` when it is not one.
std::optional<std::uint8_t> parseI2cAddress(std::string_view text, std::string& error);
// The same notation back.
std::string describeI2cFault(const I2cFault& fault);

}  // namespace sim
