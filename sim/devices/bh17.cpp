#include "bh17.h"

#include <algorithm>
#include <cmath>

#include "sensor_values.h"

namespace sim {

namespace {
constexpr double kCountNoise = 0.5;  // counts
// Measurement times at the default measurement-time register, typical and
// maximum, from the datasheet: high resolution (and high resolution 2)
// 120-180 ms, low resolution 16-24 ms. They are set by the chip's own
// oscillator, so one chip keeps its time: a fixed draw per chip.
constexpr Time kHighResolutionTypical = milliseconds(120), kHighResolutionMax = milliseconds(180);
constexpr Time kLowResolutionTypical = milliseconds(16), kLowResolutionMax = milliseconds(24);
}  // namespace

Bh17::Bh17(const Clock& clock, const TimingTolerances& timing)
    : clock_(clock),
      highResolutionTime_(
          timing.fixed("bh17.high-res", kHighResolutionTypical, kHighResolutionTypical, kHighResolutionMax)),
      lowResolutionTime_(timing.fixed("bh17.low-res", kLowResolutionTypical, kLowResolutionTypical, kLowResolutionMax)) {}

Time Bh17::measurementTime() const {
  Time base = resolution_ == 3 ? lowResolutionTime_ : highResolutionTime_;
  return clock_.outside(base * effectiveMeasurementTime() / kMeasurementTimeReset);
}

std::uint16_t Bh17::convert() const {
  if (countRaw_) return *countRaw_;
  double count = lux_ * 1.2 * effectiveMeasurementTime() / kMeasurementTimeReset;
  if (resolution_ == 1) count *= 2;  // high resolution 2: half-lux steps
  if (noise_ != nullptr) count += noise_->gaussian(kCountNoise);
  long rounded = std::lround(count);
  if (resolution_ == 3) rounded &= ~3L;  // low resolution: 4-lux steps
  return static_cast<std::uint16_t>(std::clamp(rounded, 0L, 65535L));
}

void Bh17::update() {
  if (mode_ != Mode::Continuous && mode_ != Mode::OneTime) return;
  Time period = measurementTime();
  std::uint64_t completed = (clock_.now() - measurementStart_) / period;
  if (completed <= resultsTaken_) return;
  resultsTaken_ = completed;
  data_ = convert();
  if (mode_ == Mode::OneTime) mode_ = Mode::PowerDown;  // one result, then it sleeps
}

bool Bh17::start(bool read) {
  update();
  if (read) readIndex_ = 0;
  return true;
}

bool Bh17::write(std::uint8_t byte) {
  update();
  if (byte == 0x00) {
    mode_ = Mode::PowerDown;
  } else if (byte == 0x01) {
    if (mode_ == Mode::PowerDown) mode_ = Mode::PowerOn;
  } else if (byte == 0x07) {
    // The data register is cleared only while the chip is on.
    if (mode_ != Mode::PowerDown) data_ = 0;
  } else if (byte == 0x10 || byte == 0x11 || byte == 0x13 || byte == 0x20 || byte == 0x21 || byte == 0x23) {
    mode_ = (byte & 0x20) ? Mode::OneTime : Mode::Continuous;
    resolution_ = byte & 0x03;
    measurementStart_ = clock_.now();
    resultsTaken_ = 0;
  } else if ((byte & 0xF8) == 0x40) {
    measurementTime_ = static_cast<std::uint8_t>((measurementTime_ & 0x1F) | ((byte & 0x07) << 5));
  } else if ((byte & 0xE0) == 0x60) {
    measurementTime_ = static_cast<std::uint8_t>((measurementTime_ & 0xE0) | (byte & 0x1F));
  } else {
    return false;  // no such command
  }
  return true;
}

std::uint8_t Bh17::read() {
  unsigned i = readIndex_++;
  if (i == 0) return static_cast<std::uint8_t>(data_ >> 8);
  if (i == 1) return static_cast<std::uint8_t>(data_);
  return 0xFF;
}

}  // namespace sim
