// MPU-9150 nine-axis motion sensor on I2C1: the accelerometer and gyroscope
// chip at 0x68, and the magnetometer die at 0x0C behind it.
//
// Main chip: register-addressed, the address steps on after every byte.
// WHO_AM_I (0x75) reads 0x68. PWR_MGMT_1 (0x6B) starts at 0x40: asleep, and
// asleep the outputs keep what they last showed. GYRO_CONFIG (0x1B) and
// ACCEL_CONFIG (0x1C) bits 4:3 choose the full scale (131 / 65.5 / 32.8 /
// 16.4 counts per deg/s; 16384 / 8192 / 4096 / 2048 counts per g). The 14
// output bytes from 0x3B are big-endian pairs: accelerometer X Y Z,
// temperature (degC = value / 340 + 35), gyroscope X Y Z. INT_PIN_CFG (0x37)
// bit 1, I2C_BYPASS_EN, joins the magnetometer to the bus while the chip's own
// I2C master (USER_CTRL 0x6A bit 5) is off; otherwise 0x0C does not answer.
//
// Magnetometer: WIA (0x00) reads 0x48; writing 0x01 to CNTL (0x0A) starts one
// measurement, which ends 9 ms later (the datasheet's maximum) with DRDY in ST1
// (0x02) set and CNTL back at power-down; the results from 0x03 are little-
// endian pairs X Y Z, 0.3 uT per count, 13 bits signed. Reading ST2 or a result
// byte clears DRDY.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../core/clock.h"
#include "i2c_target.h"

namespace sim {

class SensorNoise;
class Mpu9150;

class Mpu9150Magnetometer : public I2cTarget {
 public:
  static constexpr std::uint8_t kAddress = 0x0C;
  static constexpr std::uint8_t kWia = 0x48;
  static constexpr Time kMeasurementTime = microseconds(9000);
  static constexpr double kMicroteslaPerCount = 0.3;

  Mpu9150Magnetometer(const Clock& clock, const Mpu9150& host) : clock_(clock), host_(host) {}

  std::string name() const override { return "MPU-9150 magnetometer"; }
  std::uint8_t address() const override { return kAddress; }
  bool start(bool read) override;
  bool write(std::uint8_t byte) override;
  std::uint8_t read() override;
  void stop() override {}

  void setField(double x, double y, double z) { field_ = {x, y, z}, raw_.reset(); }
  void setRaw(std::int16_t x, std::int16_t y, std::int16_t z) { raw_ = std::array<std::int16_t, 3>{x, y, z}; }
  void setNoise(SensorNoise* noise) { noise_ = noise; }

  std::uint8_t reg(std::uint8_t address);

 private:
  void update();
  void measure();

  const Clock& clock_;
  const Mpu9150& host_;
  SensorNoise* noise_ = nullptr;
  std::array<double, 3> field_{22, 5, -42};
  std::optional<std::array<std::int16_t, 3>> raw_;
  std::array<std::uint8_t, 0x13> regs_{kWia};
  std::optional<Time> measurementDoneAt_;
  bool addressPhase_ = true;
  std::uint8_t pointer_ = 0;
};

class Mpu9150 : public I2cTarget {
 public:
  static constexpr std::uint8_t kAddress = 0x68;
  static constexpr std::uint8_t kRegGyroConfig = 0x1B, kRegAccelConfig = 0x1C, kRegIntPinCfg = 0x37,
                                kRegAccelXoutH = 0x3B, kRegUserCtrl = 0x6A, kRegPwrMgmt1 = 0x6B, kRegWhoAmI = 0x75;

  explicit Mpu9150(const Clock& clock);

  std::string name() const override { return "MPU-9150 (accelerometer and gyroscope)"; }
  std::uint8_t address() const override { return kAddress; }
  bool start(bool read) override;
  bool write(std::uint8_t byte) override;
  std::uint8_t read() override;
  void stop() override {}

  // The magnetometer die: a target of its own on the same bus.
  Mpu9150Magnetometer& magnetometer() { return magnetometer_; }
  bool bypassEnabled() const;
  bool asleep() const { return (regs_[kRegPwrMgmt1] & 0x40) != 0; }

  void setAcceleration(double x, double y, double z) { accel_ = {x, y, z}, accelRaw_.reset(); }
  void setRotation(double x, double y, double z) { gyro_ = {x, y, z}, gyroRaw_.reset(); }
  void setTemperature(double celsius) { temperature_ = celsius; }
  void setAccelerationRaw(std::int16_t x, std::int16_t y, std::int16_t z) { accelRaw_ = {{x, y, z}}; }
  void setRotationRaw(std::int16_t x, std::int16_t y, std::int16_t z) { gyroRaw_ = {{x, y, z}}; }
  void setNoise(SensorNoise* noise) {
    noise_ = noise;
    magnetometer_.setNoise(noise);
  }

  std::uint8_t reg(std::uint8_t address);

 private:
  void resetRegisters();
  void update();
  void writeRegister(std::uint8_t address, std::uint8_t value);

  const Clock& clock_;
  SensorNoise* noise_ = nullptr;
  std::array<double, 3> accel_{0, 0, 1}, gyro_{0, 0, 0};
  double temperature_ = 26;
  std::optional<std::array<std::int16_t, 3>> accelRaw_, gyroRaw_;
  std::array<std::uint8_t, 0x80> regs_{};
  Time awakeSince_ = 0;
  bool addressPhase_ = true;
  std::uint8_t pointer_ = 0;
  Mpu9150Magnetometer magnetometer_;
};

}  // namespace sim
