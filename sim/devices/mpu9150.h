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
// measurement, which ends 9 ms later (the datasheet's maximum; a timing seed
// draws each one between 7.3 and 9 ms) with DRDY in ST1 (0x02) set and CNTL
// back at power-down; the results from 0x03 are little-endian pairs X Y Z,
// 0.3 uT per count, 13 bits signed (-4096 to 4095: +-1229 uT). Reading ST2 or
// a result byte clears DRDY. ST2 (0x09) has HOFL (bit 3), set by a measurement
// whose field overflowed the sensor, and DERR (bit 2), set when a read of the
// results starts while a measurement is still running; reading ST2 clears
// DERR. The sensitivity adjustment values ASAX-ASAZ (0x10-0x12) live in a
// fuse ROM that reads only in fuse ROM access mode (CNTL 0x0F); in every
// other mode those addresses read 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../core/clock.h"
#include "../core/timing_tolerances.h"
#include "i2c_target.h"

namespace sim {

class SensorNoise;
class Mpu9150;

class Mpu9150Magnetometer : public I2cTarget {
 public:
  static constexpr std::uint8_t kAddress = 0x0C;
  static constexpr std::uint8_t kWia = 0x48;
  // A single measurement: typical and maximum from the datasheet.
  static constexpr Time kMeasurementTimeTypical = microseconds(7300);
  static constexpr Time kMeasurementTime = microseconds(9000);
  static constexpr double kMicroteslaPerCount = 0.3;
  // Sum of the three axes' magnitudes from which the sensor overflows.
  static constexpr double kOverflowSumMicrotesla = 2400;
  // The fuse ROM's sensitivity adjustment values (0x80: a factor of 1).
  static constexpr std::uint8_t kSensitivityAdjustment = 0x80;

  // Each measurement's time is drawn from `timing` ("mpu9150.mag.measurement").
  Mpu9150Magnetometer(const Clock& clock, const Mpu9150& host, const TimingTolerances& timing = TimingTolerances{})
      : clock_(clock), host_(host), measurementTimes_(timing.stream("mpu9150.mag.measurement")) {}

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
  TimingTolerances::Stream measurementTimes_;
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

  // The wake-up time ("mpu9150.wake-up") and the magnetometer's measurement
  // times are drawn from `timing`.
  explicit Mpu9150(const Clock& clock, const TimingTolerances& timing = TimingTolerances{});

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
  // From waking until the first sample reaches the outputs.
  Time wakeUpTime_;
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
