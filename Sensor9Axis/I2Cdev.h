// Register access on the motion sensor's chips: whole registers, runs of
// registers, single bits and bit fields, by device and register address.
#pragma once

#include <cstdint>

class I2Cdev {
 public:
  // Bits bitStart down to bitStart-length+1 of a register, shifted down to bit 0.
  static std::int8_t readBits(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t bitStart, std::uint8_t length,
                              std::uint8_t* data, std::uint16_t timeout);
  static std::int8_t readByte(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t* data, std::uint16_t timeout);
  static std::int8_t readBytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length, std::uint8_t* data,
                               std::uint16_t timeout);
  static bool writeBit(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t bitNum, std::uint8_t data);
  static bool writeBits(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t bitStart, std::uint8_t length,
                        std::uint8_t data);
  static bool writeByte(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t data);
  static bool writeBytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length, std::uint8_t* data);
};
