// LPS25H pressure and temperature sensor at 0x5D on I2C1.
//
// A register-addressed chip: the first byte of a write is the sub-address, its
// low 7 bits the register address (0x00-0x7F) and bit 7 set to step the
// address on after each byte (wrapping from 0x7F to 0x00); further bytes are
// written from there; a read continues at that address. WHO_AM_I (0x0F) reads
// 0xBD; RES_CONF (0x10) and CTRL_REG1 (0x20) keep what is written. The chip's
// registers end at 0x3A: every other address, 0x40-0x7F included, is
// reserved; it reads 0x00 and a write to it changes nothing.
//
// Outputs update only while CTRL_REG1's PD bit (7) is set: at the rate ODR
// (bits 6:4) selects, 1 / 7 / 12.5 / 25 Hz, or once per ONE_SHOT request with
// ODR 0. Pressure is 24-bit two's complement at 0x28-0x2A (lowest byte first)
// in 1/4096 hPa; temperature 16-bit two's complement at 0x2B-0x2C, degrees
// Celsius = 42.5 + value / 480. STATUS_REG (0x27) shows new data (P_DA, T_DA)
// and overruns; reading the high output byte clears the new-data flag.
//
// Block data update (CTRL_REG1 bit 2, BDU): clear, a new sample goes into the
// output registers the moment it is done, so a read that straddles it may
// take some bytes of the old sample and some of the new. Set, once one byte
// of the pressure (or temperature) outputs has been read, those outputs keep
// their sample until every byte of it has been read; a sample done meanwhile
// waits and takes their place when the read is complete.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../core/clock.h"
#include "../core/timing_tolerances.h"
#include "i2c_target.h"

namespace sim {

class SensorNoise;

class Lps25h : public I2cTarget {
 public:
  static constexpr std::uint8_t kAddress = 0x5D;
  static constexpr std::uint8_t kWhoAmI = 0xBD;
  static constexpr std::uint8_t kRegWhoAmI = 0x0F, kRegResConf = 0x10, kRegCtrl1 = 0x20, kRegCtrl2 = 0x21,
                                kRegStatus = 0x27, kRegPressOutXl = 0x28, kRegTempOutL = 0x2B;

  // The output data rates are drawn from `timing` ("lps25h.oscillator").
  explicit Lps25h(const Clock& clock, const TimingTolerances& timing = TimingTolerances{});

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

  // Register contents as the chip holds them now (for tests and the monitor),
  // by 7-bit register address; reserved addresses read 0.
  std::uint8_t reg(std::uint8_t address);
  // Time between two samples at the rate CTRL_REG1 selects; nullopt when the
  // rate is one-shot or reserved.
  std::optional<Time> samplePeriod() const;
  bool poweredUp() const { return (regs_[kRegCtrl1] & 0x80) != 0; }

 private:
  // One output of the chip (pressure, 3 bytes; temperature, 2 bytes) and its
  // block data update state.
  struct Output {
    std::uint8_t first;  // register address of the lowest byte
    std::uint8_t length;
    std::uint8_t dataReady, overrun;  // its STATUS_REG bits
    std::uint8_t bytesRead = 0;       // bit i: byte i read since the block began
    bool blocked = false;
    std::optional<std::uint32_t> waiting{};  // a sample done while blocked
    bool waitingOverran = false;           // ... that replaced another one
  };
  void resetRegisters();
  void update();  // takes the samples completed up to now
  void sample();
  void deliver(Output& out, std::uint32_t value);
  void show(Output& out, std::uint32_t value, bool overran);
  void release(Output& out);
  void unblockAll();
  bool blockDataUpdate() const { return (regs_[kRegCtrl1] & 0x04) != 0; }
  void writeRegister(std::uint8_t address, std::uint8_t value);
  std::uint8_t readRegister(std::uint8_t address);
  void noteOutputRead(Output& out, std::uint8_t address);

  const Clock& clock_;
  // This chip's oscillator: every sample period is stretched by it.
  double oscillatorError_;
  Output pressureOut_, temperatureOut_;
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
