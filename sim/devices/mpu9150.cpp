#include "mpu9150.h"

#include <algorithm>
#include <cmath>

#include "sensor_values.h"

namespace sim {

namespace {
constexpr std::uint8_t kBypassEn = 0x02, kI2cMstEn = 0x20, kSleep = 0x40, kDeviceReset = 0x80;
constexpr std::uint8_t kMagSt1 = 0x02, kMagHxl = 0x03, kMagSt2 = 0x09, kMagCntl = 0x0A;
constexpr std::uint8_t kMagAsax = 0x10, kMagAsaz = 0x12;
constexpr std::uint8_t kDrdy = 0x01, kDerr = 0x04, kHofl = 0x08;
constexpr std::uint8_t kModePowerDown = 0x00, kModeSingle = 0x01, kModeFuseRom = 0x0F;
// A sample at the gyroscope's output rate without the low-pass filter.
constexpr Time kSamplePeriod = microseconds(125);
// Waking from sleep: nominally the outputs show a sample one sample period
// later. The datasheet gives the gyroscope's start-up from sleep as 30 ms
// (typical); a timing seed puts this chip's first sample anywhere up to that.
constexpr Time kWakeUpMax = milliseconds(30);
constexpr double kAccelNoise = 0.004;  // g
constexpr double kGyroNoise = 0.05;    // deg/s
constexpr double kMagNoise = 0.3;      // uT

std::int16_t saturate(double counts, long lo = -32768, long hi = 32767) {
  return static_cast<std::int16_t>(std::clamp(std::lround(counts), lo, hi));
}

void putBigEndian(std::uint8_t* at, std::int16_t value) {
  auto u = static_cast<std::uint16_t>(value);
  at[0] = static_cast<std::uint8_t>(u >> 8);
  at[1] = static_cast<std::uint8_t>(u);
}
}  // namespace

// ------------------------------------------------------------------ main chip

Mpu9150::Mpu9150(const Clock& clock, const TimingTolerances& timing)
    : clock_(clock),
      wakeUpTime_(timing.fixed("mpu9150.wake-up", kSamplePeriod, kSamplePeriod, kWakeUpMax)),
      magnetometer_(clock, *this, timing) {
  resetRegisters();
}

void Mpu9150::resetRegisters() {
  regs_.fill(0);
  regs_[kRegPwrMgmt1] = kSleep;
  regs_[kRegWhoAmI] = kAddress;
}

bool Mpu9150::bypassEnabled() const {
  return (regs_[kRegIntPinCfg] & kBypassEn) != 0 && (regs_[kRegUserCtrl] & kI2cMstEn) == 0;
}

void Mpu9150::update() {
  // Asleep, or not yet a sample since waking: the outputs keep their last values.
  if (asleep() || clock_.now() < awakeSince_ + clock_.outside(wakeUpTime_)) return;
  std::array<std::int16_t, 3> a{}, g{};
  double accelPerG = 16384.0 / (1 << ((regs_[kRegAccelConfig] >> 3) & 3));
  double gyroPerDps = 131.0 / (1 << ((regs_[kRegGyroConfig] >> 3) & 3));
  for (int i = 0; i < 3; ++i) {
    a[i] =
        accelRaw_ ? (*accelRaw_)[i] : saturate((accel_[i] + (noise_ ? noise_->gaussian(kAccelNoise) : 0)) * accelPerG);
    g[i] = gyroRaw_ ? (*gyroRaw_)[i] : saturate((gyro_[i] + (noise_ ? noise_->gaussian(kGyroNoise) : 0)) * gyroPerDps);
  }
  std::uint8_t* out = &regs_[kRegAccelXoutH];
  for (int i = 0; i < 3; ++i) putBigEndian(out + 2 * i, a[i]);
  putBigEndian(out + 6, saturate((temperature_ - 35.0) * 340.0));
  for (int i = 0; i < 3; ++i) putBigEndian(out + 8 + 2 * i, g[i]);
}

void Mpu9150::writeRegister(std::uint8_t address, std::uint8_t value) {
  if (address == kRegWhoAmI || (address >= 0x3B && address <= 0x60)) return;  // read-only
  if (address == kRegPwrMgmt1) {
    if (value & kDeviceReset) {
      resetRegisters();  // the bit clears itself
      return;
    }
    if (asleep() && !(value & kSleep)) awakeSince_ = clock_.now();
  }
  regs_[address] = value;
}

std::uint8_t Mpu9150::reg(std::uint8_t address) {
  update();
  return regs_[address & 0x7F];
}

bool Mpu9150::start(bool read) {
  update();
  addressPhase_ = !read;
  return true;
}

bool Mpu9150::write(std::uint8_t byte) {
  if (addressPhase_) {
    addressPhase_ = false;
    pointer_ = byte & 0x7F;
    return true;
  }
  writeRegister(pointer_, byte);
  pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
  return true;
}

std::uint8_t Mpu9150::read() {
  std::uint8_t value = regs_[pointer_];
  pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
  return value;
}

// ------------------------------------------------------------------ magnetometer

void Mpu9150Magnetometer::measure() {
  // Each axis converts to 13 bits signed, -4096 to 4095 counts at 0.3 uT: up
  // to about +-1229 uT, as far as the board's field values go (1229 uT rounds
  // to 4097 counts and reads 4095, the end of the range). The sensor itself
  // overflows earlier, on the three axes together: from |X| + |Y| + |Z| of
  // 2400 uT on the datasheet calls the data invalid, and the measurement sets
  // HOFL (the counts are still there). The firmware prints the counts as they
  // come; HOFL is what would tell it not to trust them.
  std::array<std::int16_t, 3> counts{};
  double sum = 0;
  for (int i = 0; i < 3; ++i) {
    double field = raw_ ? (*raw_)[i] * kMicroteslaPerCount : field_[i] + (noise_ ? noise_->gaussian(kMagNoise) : 0);
    counts[i] = raw_ ? (*raw_)[i] : saturate(field / kMicroteslaPerCount, -4096, 4095);
    sum += std::fabs(field);
  }
  for (int i = 0; i < 3; ++i) {
    auto u = static_cast<std::uint16_t>(counts[i]);
    regs_[kMagHxl + 2 * i] = static_cast<std::uint8_t>(u);
    regs_[kMagHxl + 2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  regs_[kMagSt1] |= kDrdy;
  // HOFL follows each measurement; DERR stays until ST2 is read.
  regs_[kMagSt2] = static_cast<std::uint8_t>((regs_[kMagSt2] & kDerr) | (sum >= kOverflowSumMicrotesla ? kHofl : 0));
}

void Mpu9150Magnetometer::update() {
  if (measurementDoneAt_ && clock_.now() >= *measurementDoneAt_) {
    measurementDoneAt_.reset();
    measure();
    regs_[kMagCntl] = kModePowerDown;  // back to power-down after a single measurement
  }
}

std::uint8_t Mpu9150Magnetometer::reg(std::uint8_t address) {
  update();
  return address < regs_.size() ? regs_[address] : 0;
}

bool Mpu9150Magnetometer::start(bool read) {
  // Behind the main chip: on the bus only while its bypass joins it.
  if (!host_.bypassEnabled()) return false;
  update();
  addressPhase_ = !read;
  return true;
}

bool Mpu9150Magnetometer::write(std::uint8_t byte) {
  if (addressPhase_) {
    addressPhase_ = false;
    pointer_ = byte;
    return true;
  }
  if (pointer_ == kMagCntl) {
    std::uint8_t mode = byte & 0x0F;
    regs_[kMagCntl] = mode;
    if (mode == kModeSingle) {
      measurementDoneAt_ =
          clock_.now() + clock_.outside(measurementTimes_.draw(kMeasurementTime, kMeasurementTimeTypical, kMeasurementTime));
    } else {
      measurementDoneAt_.reset();  // power-down (or a mode not modelled) ends a measurement
    }
  } else if (pointer_ == 0x0C || pointer_ == 0x0F) {
    regs_[pointer_] = byte;  // ASTC, I2CDIS
  }
  pointer_ = static_cast<std::uint8_t>(pointer_ + 1u < regs_.size() ? pointer_ + 1u : 0u);
  return true;
}

std::uint8_t Mpu9150Magnetometer::read() {
  std::uint8_t value = 0;
  bool result = pointer_ >= kMagHxl && pointer_ < kMagSt2;
  // A read of the results while a measurement runs gets old data, and ST2
  // says so.
  if (result && measurementDoneAt_) regs_[kMagSt2] |= kDerr;
  if (pointer_ >= kMagAsax && pointer_ <= kMagAsaz) {
    if (regs_[kMagCntl] == kModeFuseRom) value = kSensitivityAdjustment;
  } else if (pointer_ < regs_.size()) {
    value = regs_[pointer_];
  }
  if (pointer_ == kMagSt2) regs_[kMagSt2] &= static_cast<std::uint8_t>(~kDerr);
  if (pointer_ >= kMagHxl && pointer_ <= kMagSt2) regs_[kMagSt1] &= static_cast<std::uint8_t>(~kDrdy);
  pointer_ = static_cast<std::uint8_t>(pointer_ + 1u < regs_.size() ? pointer_ + 1u : 0u);
  return value;
}

}  // namespace sim
