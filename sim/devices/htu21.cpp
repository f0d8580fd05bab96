#include "htu21.h"

#include <algorithm>
#include <cmath>

#include "sensor_values.h"

namespace sim {

namespace {
constexpr std::uint8_t kMeasureTemperatureHold = 0xE3;
constexpr std::uint8_t kMeasureHumidityHold = 0xE5;
constexpr std::uint8_t kMeasureTemperatureNoHold = 0xF3;
constexpr std::uint8_t kMeasureHumidityNoHold = 0xF5;
constexpr std::uint8_t kWriteUserRegister = 0xE6;
constexpr std::uint8_t kReadUserRegister = 0xE7;
constexpr std::uint8_t kSoftReset = 0xFE;
// User register bits a write may change: resolution (7, 0), heater (2), OTP reload off (1).
constexpr std::uint8_t kUserRegisterWritable = 0x87;
constexpr std::uint8_t kHeater = 0x04;
constexpr std::uint16_t kStatusHumidity = 0x0002;

// Repeatability of one reading.
constexpr double kTemperatureNoise = 0.05;  // degC
constexpr double kHumidityNoise = 0.05;     // %RH

std::uint16_t toCount(double scaled) { return static_cast<std::uint16_t>(std::clamp(std::lround(scaled), 0L, 65535L)); }
}  // namespace

std::uint8_t Htu21::crc8(const std::uint8_t* data, std::size_t length) {
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x31 : crc << 1);
    }
  }
  return crc;
}

// Per resolution (user register bits 7 and 0: 00, 01, 10, 11), the datasheet's
// result widths and conversion times, typical and maximum.
namespace {
struct Resolution {
  unsigned temperatureBits, humidityBits;
  Htu21::ConversionTime temperature, humidity;
};
constexpr Resolution kResolutions[4] = {
    {14, 12, {milliseconds(44), milliseconds(50)}, {milliseconds(14), milliseconds(16)}},
    {12, 8, {milliseconds(11), milliseconds(13)}, {milliseconds(2), milliseconds(3)}},
    {13, 10, {milliseconds(22), milliseconds(25)}, {milliseconds(4), milliseconds(5)}},
    {11, 11, {milliseconds(6), milliseconds(7)}, {milliseconds(7), milliseconds(8)}},
};

// A 16-bit reply word with only the top `bits` bits of the result kept.
std::uint16_t keepBits(std::uint16_t word, unsigned bits) {
  return static_cast<std::uint16_t>(word & (0xFFFFu << (16 - bits)));
}
}  // namespace

Htu21::ConversionTime Htu21::temperatureConversionTime() const { return kResolutions[resolution()].temperature; }
Htu21::ConversionTime Htu21::humidityConversionTime() const { return kResolutions[resolution()].humidity; }
unsigned Htu21::temperatureBits() const { return kResolutions[resolution()].temperatureBits; }
unsigned Htu21::humidityBits() const { return kResolutions[resolution()].humidityBits; }

std::uint16_t Htu21::result(Measure what) {
  double sigma = 0;
  if (what == Measure::Temperature) {
    if (temperatureRaw_) return *temperatureRaw_;
    sigma = noise_ ? noise_->gaussian(kTemperatureNoise) : 0;
    return keepBits(toCount((temperature_ + sigma + 46.85) / 175.72 * 65536.0), temperatureBits());
  }
  if (humidityRaw_) return *humidityRaw_;
  sigma = noise_ ? noise_->gaussian(kHumidityNoise) : 0;
  return static_cast<std::uint16_t>(keepBits(toCount((humidity_ + sigma + 6.0) / 125.0 * 65536.0), humidityBits()) |
                                    kStatusHumidity);
}

void Htu21::beginMeasurement(Measure what, bool hold) {
  measuring_ = what;
  hold_ = hold;
  ConversionTime range = what == Measure::Temperature ? temperatureConversionTime() : humidityConversionTime();
  readyAt_ = clock_.now() + clock_.outside(conversionTimes_.draw(range.maximum, range.typical, range.maximum));
}

bool Htu21::start(bool read) {
  if (resetting()) return false;
  reading_ = read;
  firstByte_ = true;
  writingUserRegister_ = false;
  if (!read) return true;

  replyIndex_ = 0;
  if (userRegisterReadPending_) {
    userRegisterReadPending_ = false;
    reply_[0] = userRegister_;
    replyLength_ = 1;
    return true;
  }
  if (measuring_ == Measure::None) return false;  // nothing to send
  // Without hold the chip ignores its read address until the result is ready.
  if (!hold_ && clock_.now() < readyAt_) return false;
  stretchPending_ = hold_;
  std::uint16_t value = result(measuring_);
  reply_[0] = static_cast<std::uint8_t>(value >> 8);
  reply_[1] = static_cast<std::uint8_t>(value);
  reply_[2] = crc8(reply_.data(), 2);
  replyLength_ = 3;
  measuring_ = Measure::None;
  return true;
}

Time Htu21::stretch(Time now) {
  if (!stretchPending_) return 0;
  stretchPending_ = false;
  return readyAt_ > now ? readyAt_ - now : 0;
}

bool Htu21::write(std::uint8_t byte) {
  if (reading_) return false;
  if (writingUserRegister_) {
    userRegister_ =
        static_cast<std::uint8_t>((userRegister_ & ~kUserRegisterWritable) | (byte & kUserRegisterWritable));
    writingUserRegister_ = false;
    return true;
  }
  if (!firstByte_) return false;
  firstByte_ = false;
  switch (byte) {
    case kMeasureTemperatureHold:
      beginMeasurement(Measure::Temperature, true);
      return true;
    case kMeasureHumidityHold:
      beginMeasurement(Measure::Humidity, true);
      return true;
    case kMeasureTemperatureNoHold:
      beginMeasurement(Measure::Temperature, false);
      return true;
    case kMeasureHumidityNoHold:
      beginMeasurement(Measure::Humidity, false);
      return true;
    case kWriteUserRegister:
      writingUserRegister_ = true;
      return true;
    case kReadUserRegister:
      userRegisterReadPending_ = true;
      return true;
    case kSoftReset:
      // The chip restarts with its default settings, all but the heater.
      userRegister_ = static_cast<std::uint8_t>(kUserRegisterReset | (userRegister_ & kHeater));
      measuring_ = Measure::None;
      userRegisterReadPending_ = false;
      resetDoneAt_ = clock_.now() + clock_.outside(kSoftResetTime);
      return true;
    default:
      return false;  // not a command of the chip
  }
}

std::uint8_t Htu21::read() {
  // Past the checksum the chip lets SDA go: the master reads ones.
  if (replyIndex_ >= replyLength_) return 0xFF;
  return reply_[replyIndex_++];
}

void Htu21::stop() {
  reading_ = false;
  writingUserRegister_ = false;
  stretchPending_ = false;
}

}  // namespace sim
