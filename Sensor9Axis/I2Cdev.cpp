// Register access over the motion sensor's transfer glue. A bit or bit-field
// write is a read-modify-write: register-address write, one-byte read, then a
// write of the register address and the new value.
#include "I2Cdev.h"

#include "test_sensor_9axis.h"

namespace {

constexpr std::uint16_t kReadTimeout = 1000;

// Mask of bits bitStart down to bitStart-length+1, in 8 bits.
std::uint8_t Field_Mask(std::uint8_t bitStart, std::uint8_t length) {
  return static_cast<std::uint8_t>(((1u << length) - 1u) << (bitStart - length + 1u));
}

}  // namespace

std::int8_t I2Cdev::readBytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length, std::uint8_t* data,
                              std::uint16_t /*timeout*/) {
  return static_cast<std::int8_t>(SENSOR_9AXIS_Read_Bytes(devAddr, regAddr, length, data));
}

std::int8_t I2Cdev::readByte(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t* data, std::uint16_t timeout) {
  return readBytes(devAddr, regAddr, 1, data, timeout);
}

std::int8_t I2Cdev::readBits(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t bitStart, std::uint8_t length,
                             std::uint8_t* data, std::uint16_t timeout) {
  std::uint8_t b = 0;
  std::int8_t count = readByte(devAddr, regAddr, &b, timeout);
  if (count != 0) {
    b = static_cast<std::uint8_t>((b & Field_Mask(bitStart, length)) >> (bitStart - length + 1u));
    *data = b;
  }
  return count;
}

bool I2Cdev::writeBytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length, std::uint8_t* data) {
  return SENSOR_9AXIS_Write_Bytes(devAddr, regAddr, length, data) >= 0;
}

bool I2Cdev::writeByte(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t data) {
  return writeBytes(devAddr, regAddr, 1, &data);
}

bool I2Cdev::writeBits(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t bitStart, std::uint8_t length,
                       std::uint8_t data) {
  std::uint8_t b = 0;
  if (readByte(devAddr, regAddr, &b, kReadTimeout) == 0) return false;
  const std::uint8_t mask = Field_Mask(bitStart, length);
  data = static_cast<std::uint8_t>((data << (bitStart - length + 1u)) & mask);
  b = static_cast<std::uint8_t>((b & ~mask) | data);
  return writeByte(devAddr, regAddr, b);
}

bool I2Cdev::writeBit(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t bitNum, std::uint8_t data) {
  std::uint8_t b = 0;
  if (readByte(devAddr, regAddr, &b, kReadTimeout) == 0) return false;
  if (data != 0u) {
    b = static_cast<std::uint8_t>(b | (1u << bitNum));
  } else {
    b = static_cast<std::uint8_t>(b & ~(1u << bitNum));
  }
  return writeByte(devAddr, regAddr, b);
}
