#include "MPU6050.h"

#include "I2Cdev.h"
#include "hw_config.h"

namespace {

constexpr std::uint8_t MPU6050_ADDRESS = 0x68;
constexpr std::uint8_t MAGNETOMETER_ADDRESS = 0x0C;

constexpr std::uint8_t RA_GYRO_CONFIG = 0x1B;
constexpr std::uint8_t RA_ACCEL_CONFIG = 0x1C;
constexpr std::uint8_t RA_INT_PIN_CFG = 0x37;
constexpr std::uint8_t RA_ACCEL_XOUT_H = 0x3B;
constexpr std::uint8_t RA_PWR_MGMT_1 = 0x6B;
constexpr std::uint8_t RA_WHO_AM_I = 0x75;
constexpr std::uint8_t MAG_RA_HXL = 0x03;
constexpr std::uint8_t MAG_RA_CNTL = 0x0A;

constexpr std::uint8_t INT_PIN_CFG_I2C_BYPASS_EN = 0x02;
constexpr std::uint8_t MAG_CNTL_SINGLE_MEASUREMENT = 0x01;
constexpr std::uint16_t I2C_TIMEOUT = 1000;

std::int16_t bigEndian(const std::uint8_t* p) { return static_cast<std::int16_t>((p[0] << 8) | p[1]); }
std::int16_t littleEndian(const std::uint8_t* p) { return static_cast<std::int16_t>((p[1] << 8) | p[0]); }

}  // namespace

MPU6050 g_MPU_9150;

MPU6050::MPU6050() : devAddr(MPU6050_ADDRESS), buffer{} {}

void MPU6050::initialize() {
  setClockSource(1);  // PLL on the X gyroscope
  setFullScaleGyroRange(0);
  setFullScaleAccelRange(0);
  setSleepEnabled(false);
}

void MPU6050::setClockSource(std::uint8_t source) { I2Cdev::writeBits(devAddr, RA_PWR_MGMT_1, 2, 3, source); }

void MPU6050::setFullScaleGyroRange(std::uint8_t range) { I2Cdev::writeBits(devAddr, RA_GYRO_CONFIG, 4, 2, range); }

void MPU6050::setFullScaleAccelRange(std::uint8_t range) { I2Cdev::writeBits(devAddr, RA_ACCEL_CONFIG, 4, 2, range); }

void MPU6050::setSleepEnabled(bool enabled) {
  I2Cdev::writeBit(devAddr, RA_PWR_MGMT_1, 6, static_cast<std::uint8_t>(enabled));
}

std::uint8_t MPU6050::getDeviceID() {
  I2Cdev::readBits(devAddr, RA_WHO_AM_I, 6, 6, buffer, I2C_TIMEOUT);
  return buffer[0];
}

void MPU6050::getMotion6(std::int16_t* ax, std::int16_t* ay, std::int16_t* az, std::int16_t* gx, std::int16_t* gy,
                         std::int16_t* gz) {
  I2Cdev::readBytes(devAddr, RA_ACCEL_XOUT_H, 14, buffer, I2C_TIMEOUT);
  // Big-endian pairs: accelerometer X Y Z, temperature (not used), gyroscope X Y Z.
  *ax = bigEndian(&buffer[0]);
  *ay = bigEndian(&buffer[2]);
  *az = bigEndian(&buffer[4]);
  *gx = bigEndian(&buffer[8]);
  *gy = bigEndian(&buffer[10]);
  *gz = bigEndian(&buffer[12]);
}

void MPU6050::getMotion9(std::int16_t* ax, std::int16_t* ay, std::int16_t* az, std::int16_t* gx, std::int16_t* gy,
                         std::int16_t* gz, std::int16_t* mx, std::int16_t* my, std::int16_t* mz) {
  getMotion6(ax, ay, az, gx, gy, gz);
  // The magnetometer sits on the chip's auxiliary bus; the bypass puts it on I2C1.
  I2Cdev::writeByte(devAddr, RA_INT_PIN_CFG, INT_PIN_CFG_I2C_BYPASS_EN);
  Delay(10);
  I2Cdev::writeByte(MAGNETOMETER_ADDRESS, MAG_RA_CNTL, MAG_CNTL_SINGLE_MEASUREMENT);
  // One measurement takes at most 9 ms; its ready flag is not polled.
  Delay(10);
  I2Cdev::readBytes(MAGNETOMETER_ADDRESS, MAG_RA_HXL, 6, buffer, I2C_TIMEOUT);
  *mx = littleEndian(&buffer[0]);
  *my = littleEndian(&buffer[2]);
  *mz = littleEndian(&buffer[4]);
}
