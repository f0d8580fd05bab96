// LPS25H pressure and temperature sensor at 0x5D on I2C1.
//
// A register-addressed chip: the first byte of a write is the register
// address, bit 7 set to step the address on after each byte; further bytes
// are written from there; a read continues at that address. WHO_AM_I (0x0F)
// reads 0xBD; RES_CONF (0x10) and CTRL_REG1 (0x20) keep what is written.
//
// Outputs update only while CTRL_REG1's PD bit (7) is set: at the rate ODR
// (bits 6:4) selects, 1 / 7 / 12.5 / 25 Hz, or once per ONE_SHOT request with
// ODR 0. Pressure is 24-bit two's complement at 0x28-0x2A (lowest byte first)
// in 1/4096 hPa; temperature 16-bit two's complement at 0x2B-0x2C, degrees
// Celsius = 42.5 + value / 480. STATUS_REG (0x27) shows new data (P_DA, T_DA)
// and overruns; reading the high output byte clears the new-data flag.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../core/clock.h"
#include "i2c_target.h"

namespace sim {

class SensorNoise;

class Lps25h : public I2cTarget {
 public:
  static constexpr std::uint8_t kAddress = 0x5D;
  static constexpr std::uint8_t kWhoAmI = 0xBD;
  static constexpr std::uint8_t kRegWhoAmI = 0x0F, kRegResConf = 0x10, kRegCtrl1 = 0x20, kRegCtrl2 = 0x21,
                                kRegStatus = 0x27, kRegPressOutXl = 0x28, kRegTempOutL = 0x2B;

  explicit Lps25h(const Clock& clock);

  std::string name() const override { return "LPS25H (pressure and temperature)"; }
  std::uint8_t address() const override { return kAddress; }
  bool start(bool read) override;
  bool write(std::uint8_t byte) override;
  std::uint8_t read() override;
  void stop() override {}

  void setPressure(double hPa) { pressure_ = hPa, pressureRaw_.reset(); }
  void setTemperature(double celsius) { temperature_ = celsius, temperatureRaw_.reset(); }
  // Two's complement counts: 24-bit pressure, 16-bit temperature.
  void setPressureRaw(std::int32_t raw) { pressureRaw_ = raw; }
  void setTemperatureRaw(std::int16_t raw) { temperatureRaw_ = raw; }
  void setNoise(SensorNoise* noise) { noise_ = noise; }

  // Register contents as the chip holds them now (for tests and the monitor).
  std::uint8_t reg(std::uint8_t address);
  bool poweredUp() const { return (regs_[kRegCtrl1] & 0x80) != 0; }

 private:
  void resetRegisters();
  void update();  // takes the samples completed up to now
  void sample();
  void writeRegister(std::uint8_t address, std::uint8_t value);
  std::uint8_t readRegister(std::uint8_t address);
  std::optional<Time> samplePeriod() const;

  const Clock& clock_;
  SensorNoise* noise_ = nullptr;
  double pressure_ = 1013.25, temperature_ = 25.4;
  std::optional<std::int32_t> pressureRaw_;
  std::optional<std::int16_t> temperatureRaw_;
  std::array<std::uint8_t, 0x40> regs_{};

  // Continuous sampling since `rateStart_`; `samplesTaken_` of them are in the outputs.
  Time rateStart_ = 0;
  std::uint64_t samplesTaken_ = 0;
  std::optional<Time> oneShotAt_;

  // Transaction in progress.
  bool addressPhase_ = true;
  std::uint8_t pointer_ = 0;
  bool autoIncrement_ = false;
};

}  // namespace sim
