// BH17 ambient light sensor at 0x23 on I2C1.
//
// No registers: every byte written is a command (power down 0x00, power on
// 0x01, reset of the data register 0x07, continuous measurement 0x10 / 0x11 /
// 0x13 in high / high-2 / low resolution, one-time measurement 0x20 / 0x21 /
// 0x23, measurement time 0x40-0x47 and 0x60-0x7F), and a read returns the
// latest result, high byte first. In high resolution a result comes every
// 120 ms (scaled by the measurement-time register, 69 after reset); the count
// is lux x 1.2. A read before the first result returns the data register's
// reset value, 0. The measurement times are those of a typical chip; a timing
// seed gives this chip its own, up to the datasheet's maximum.
#pragma once

#include <cstdint>
#include <optional>

#include "../core/clock.h"
#include "../core/timing_tolerances.h"
#include "i2c_target.h"

namespace sim {

class SensorNoise;

class Bh17 : public I2cTarget {
 public:
  static constexpr std::uint8_t kAddress = 0x23;
  static constexpr std::uint8_t kMeasurementTimeReset = 69;

  // This chip's measurement times are drawn from `timing` ("bh17.high-res",
  // "bh17.low-res").
  explicit Bh17(const Clock& clock, const TimingTolerances& timing = TimingTolerances{});

  std::string name() const override { return "BH17 (ambient light)"; }
  std::uint8_t address() const override { return kAddress; }
  bool start(bool read) override;
  bool write(std::uint8_t byte) override;
  std::uint8_t read() override;
  void stop() override {}

  void setLux(double lux) { lux_ = lux, countRaw_.reset(); }
  void setCountRaw(std::uint16_t count) { countRaw_ = count; }
  void setNoise(SensorNoise* noise) { noise_ = noise; }

  bool poweredOn() const { return mode_ != Mode::PowerDown; }
  // Time from a measurement command to its first result in the current mode.
  Time measurementTime() const;

 private:
  enum class Mode : std::uint8_t { PowerDown, PowerOn, Continuous, OneTime };
  void update();  // takes the results completed up to now
  // The register's documented range is 31 to 254; below it the chip is not specified.
  unsigned effectiveMeasurementTime() const { return measurementTime_ < 31 ? 31u : measurementTime_; }
  std::uint16_t convert() const;

  const Clock& clock_;
  // Measurement times at the reset value of the measurement-time register.
  Time highResolutionTime_, lowResolutionTime_;
  SensorNoise* noise_ = nullptr;
  double lux_ = 333.3;
  std::optional<std::uint16_t> countRaw_;
  Mode mode_ = Mode::PowerDown;
  std::uint8_t resolution_ = 0;  // 0 high, 1 high-2, 3 low (low bits of the command)
  std::uint8_t measurementTime_ = kMeasurementTimeReset;
  Time measurementStart_ = 0;
  std::uint64_t resultsTaken_ = 0;
  std::uint16_t data_ = 0;
  unsigned readIndex_ = 0;
};

}  // namespace sim
