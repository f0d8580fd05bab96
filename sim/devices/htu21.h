// HTU21 temperature and humidity sensor at 0x40 on I2C1.
//
// Commands are single bytes: 0xE3 / 0xE5 measure temperature / humidity in
// hold-master mode (the chip acknowledges the read address and then holds SCL
// low until the conversion is done), 0xF3 / 0xF5 measure without holding (the
// read address is not acknowledged until the result is ready), 0xE6 / 0xE7
// write / read the user register, 0xFE soft reset (the chip does not answer
// for 15 ms while it restarts).
//
// A reply is the most significant byte, the least significant byte whose two
// low bits are status (bit 1: humidity measurement), and a CRC-8 of the two,
// polynomial x^8 + x^5 + x^4 + 1 (0x31), initial value 0. The user register's
// resolution bits (7 and 0) choose RH 12 / 8 / 10 / 11 bits with temperature
// 14 / 12 / 13 / 11 bits: the result fills the reply from its top bit down,
// the bits below the resolution read 0 (the status bits aside), and the
// conversion takes the time of that resolution. A soft reset restores the
// user register's default but keeps its heater bit (2).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../core/clock.h"
#include "../core/timing_tolerances.h"
#include "i2c_target.h"

namespace sim {

class SensorNoise;

class Htu21 : public I2cTarget {
 public:
  static constexpr std::uint8_t kAddress = 0x40;
  static constexpr std::uint8_t kUserRegisterReset = 0x02;
  static constexpr Time kSoftResetTime = milliseconds(15);

  // Each conversion's time is drawn from `timing` ("htu21.conversion").
  explicit Htu21(const Clock& clock, const TimingTolerances& timing = TimingTolerances{})
      : clock_(clock), conversionTimes_(timing.stream("htu21.conversion")) {}

  std::string name() const override { return "HTU21 (temperature and humidity)"; }
  std::uint8_t address() const override { return kAddress; }
  bool start(bool read) override;
  bool write(std::uint8_t byte) override;
  std::uint8_t read() override;
  void stop() override;
  Time stretch(Time now) override;

  // Physical values; a raw reply set afterwards replaces them, a physical value
  // set afterwards replaces the raw one.
  void setTemperature(double celsius) { temperature_ = celsius, temperatureRaw_.reset(); }
  void setHumidity(double percent) { humidity_ = percent, humidityRaw_.reset(); }
  void setTemperatureRaw(std::uint16_t raw) { temperatureRaw_ = raw; }
  void setHumidityRaw(std::uint16_t raw) { humidityRaw_ = raw; }
  void setNoise(SensorNoise* noise) { noise_ = noise; }

  std::uint8_t userRegister() const { return userRegister_; }

  // The range of a conversion's time at the resolution the user register
  // selects: the datasheet's typical and maximum. A nominal run takes the
  // maximum, a seeded one a time between the two for each conversion.
  struct ConversionTime {
    Time typical, maximum;
  };
  ConversionTime temperatureConversionTime() const;
  ConversionTime humidityConversionTime() const;
  // Significant bits of a result at the selected resolution.
  unsigned temperatureBits() const;
  unsigned humidityBits() const;

  // The checksum the chip sends after each two-byte result.
  static std::uint8_t crc8(const std::uint8_t* data, std::size_t length);

 private:
  enum class Measure : std::uint8_t { None, Temperature, Humidity };
  std::uint16_t result(Measure what);
  void beginMeasurement(Measure what, bool hold);
  bool resetting() const { return clock_.now() < resetDoneAt_; }

  unsigned resolution() const { return ((userRegister_ >> 6) & 2) | (userRegister_ & 1); }

  const Clock& clock_;
  TimingTolerances::Stream conversionTimes_;
  SensorNoise* noise_ = nullptr;
  double temperature_ = 23.4, humidity_ = 45;
  std::optional<std::uint16_t> temperatureRaw_, humidityRaw_;
  std::uint8_t userRegister_ = kUserRegisterReset;
  Time resetDoneAt_ = 0;

  // Transaction in progress.
  bool reading_ = false;
  bool firstByte_ = true;
  bool writingUserRegister_ = false;
  bool userRegisterReadPending_ = false;
  std::array<std::uint8_t, 3> reply_{};
  std::size_t replyLength_ = 0, replyIndex_ = 0;
  bool stretchPending_ = false;

  // Measurement started and not yet read.
  Measure measuring_ = Measure::None;
  bool hold_ = false;
  Time readyAt_ = 0;
};

}  // namespace sim
