#include "lps25h.h"

#include <algorithm>
#include <cmath>

#include "sensor_values.h"

namespace sim {

namespace {
constexpr std::uint8_t kPd = 0x80;
constexpr std::uint8_t kCtrl2Boot = 0x80, kCtrl2SwReset = 0x04, kCtrl2OneShot = 0x01;
constexpr std::uint8_t kStatusTDa = 0x01, kStatusPDa = 0x02, kStatusTOr = 0x10, kStatusPOr = 0x20;
constexpr std::uint8_t kRegPressOutH = 0x2A, kRegTempOutH = 0x2C;
// A one-shot conversion with the default averaging.
constexpr Time kOneShotTime = milliseconds(40);
// Noise of one output sample with the averaging RES_CONF 0x0F selects.
constexpr double kPressureNoise = 0.01;     // hPa
constexpr double kTemperatureNoise = 0.01;  // degC

bool writable(std::uint8_t address) {
  switch (address) {
    case 0x08:
    case 0x09:
    case 0x0A:
    case 0x10:
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x23:
    case 0x24:
    case 0x2E:
    case 0x30:
    case 0x31:
    case 0x39:
    case 0x3A:
      return true;
    default:
      return false;
  }
}
}  // namespace

Lps25h::Lps25h(const Clock& clock) : clock_(clock) { resetRegisters(); }

void Lps25h::resetRegisters() {
  regs_.fill(0);
  regs_[kRegWhoAmI] = kWhoAmI;
  regs_[kRegResConf] = 0x05;
  samplesTaken_ = 0;
  oneShotAt_.reset();
}

std::optional<Time> Lps25h::samplePeriod() const {
  switch ((regs_[kRegCtrl1] >> 4) & 7) {
    case 1:
      return seconds(1);
    case 2:
      return fraction(1, 7);
    case 3:
      return fraction(2, 25);
    case 4:
      return fraction(1, 25);
    default:
      return std::nullopt;  // one-shot, or a reserved rate: no continuous sampling
  }
}

void Lps25h::sample() {
  std::int32_t p = 0;
  if (pressureRaw_) {
    p = *pressureRaw_;
  } else {
    double n = noise_ ? noise_->gaussian(kPressureNoise) : 0;
    p = static_cast<std::int32_t>(std::clamp(std::lround((pressure_ + n) * 4096.0), -8388608L, 8388607L));
  }
  std::int16_t t = 0;
  if (temperatureRaw_) {
    t = *temperatureRaw_;
  } else {
    double n = noise_ ? noise_->gaussian(kTemperatureNoise) : 0;
    t = static_cast<std::int16_t>(std::clamp(std::lround((temperature_ + n - 42.5) * 480.0), -32768L, 32767L));
  }
  auto up = static_cast<std::uint32_t>(p);
  regs_[kRegPressOutXl] = static_cast<std::uint8_t>(up);
  regs_[kRegPressOutXl + 1] = static_cast<std::uint8_t>(up >> 8);
  regs_[kRegPressOutH] = static_cast<std::uint8_t>(up >> 16);
  auto ut = static_cast<std::uint16_t>(t);
  regs_[kRegTempOutL] = static_cast<std::uint8_t>(ut);
  regs_[kRegTempOutH] = static_cast<std::uint8_t>(ut >> 8);
  std::uint8_t& status = regs_[kRegStatus];
  if (status & kStatusPDa) status |= kStatusPOr;
  if (status & kStatusTDa) status |= kStatusTOr;
  status |= kStatusPDa | kStatusTDa;
}

void Lps25h::update() {
  if (!poweredUp()) return;
  Time now = clock_.now();
  if (oneShotAt_ && now >= *oneShotAt_) {
    oneShotAt_.reset();
    regs_[kRegCtrl2] &= static_cast<std::uint8_t>(~kCtrl2OneShot);
    sample();
  }
  auto period = samplePeriod();
  if (!period) return;
  std::uint64_t completed = (now - rateStart_) / *period;
  if (completed > samplesTaken_) {
    // Samples nobody read in between only leave the overrun flags behind.
    if (completed > samplesTaken_ + 1) sample();
    samplesTaken_ = completed;
    sample();
  }
}

void Lps25h::writeRegister(std::uint8_t address, std::uint8_t value) {
  if (!writable(address)) return;  // read-only and reserved registers keep their content
  if (address == kRegCtrl2) {
    if (value & (kCtrl2SwReset | kCtrl2Boot)) {
      resetRegisters();  // both bits clear themselves when the reset is done
      return;
    }
    regs_[kRegCtrl2] = value;
    if ((value & kCtrl2OneShot) && poweredUp() && !samplePeriod()) oneShotAt_ = clock_.now() + kOneShotTime;
    return;
  }
  std::uint8_t old = regs_[address];
  regs_[address] = value;
  if (address == kRegCtrl1 && ((old ^ value) & 0xF0) != 0) {
    // Powering up or changing the rate starts the sample clock again.
    rateStart_ = clock_.now();
    samplesTaken_ = 0;
  }
}

std::uint8_t Lps25h::readRegister(std::uint8_t address) {
  std::uint8_t value = regs_[address & 0x3F];
  if (address == kRegPressOutH) regs_[kRegStatus] &= static_cast<std::uint8_t>(~(kStatusPDa | kStatusPOr));
  if (address == kRegTempOutH) regs_[kRegStatus] &= static_cast<std::uint8_t>(~(kStatusTDa | kStatusTOr));
  return value;
}

std::uint8_t Lps25h::reg(std::uint8_t address) {
  update();
  return regs_[address & 0x3F];
}

bool Lps25h::start(bool read) {
  // The outputs are brought up to date once per transaction: a burst read of
  // the output registers sees one sample, as with block data update.
  update();
  addressPhase_ = !read;
  return true;
}

bool Lps25h::write(std::uint8_t byte) {
  if (addressPhase_) {
    addressPhase_ = false;
    pointer_ = byte & 0x7F;
    autoIncrement_ = (byte & 0x80) != 0;
    return true;
  }
  writeRegister(pointer_ & 0x3F, byte);
  if (autoIncrement_) pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
  return true;
}

std::uint8_t Lps25h::read() {
  std::uint8_t value = readRegister(pointer_ & 0x3F);
  if (autoIncrement_) pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
  return value;
}

}  // namespace sim
