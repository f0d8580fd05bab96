#include "lps25h.h"

#include <algorithm>
#include <cmath>

#include "sensor_values.h"

namespace sim {

namespace {
constexpr std::uint8_t kCtrl2Boot = 0x80, kCtrl2SwReset = 0x04, kCtrl2OneShot = 0x01;
constexpr std::uint8_t kStatusTDa = 0x01, kStatusPDa = 0x02, kStatusTOr = 0x10, kStatusPOr = 0x20;
constexpr std::uint8_t kRegPressOutH = 0x2A, kRegTempOutH = 0x2C;
// A one-shot conversion with the default averaging.
constexpr Time kOneShotTime = milliseconds(40);
// Timing of this chip: the output data rates and the one-shot conversion come
// from its internal oscillator, whose accuracy the datasheet does not give.
// This model lets a timing seed make one chip's oscillator up to 5 % fast or
// slow ("lps25h.oscillator"): every sample period and the one-shot conversion
// scale together. Nominal: exactly the datasheet's rates.
constexpr double kOscillatorTolerancePpm = 50'000;
constexpr std::uint8_t kCtrl1Bdu = 0x04;
// The chip's register map ends at 0x3F; above it every address is reserved.
constexpr std::uint8_t kRegisterCount = 0x40;
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

Lps25h::Lps25h(const Clock& clock, const TimingTolerances& timing)
    : clock_(clock),
      oscillatorError_(timing.fixedPpm("lps25h.oscillator", kOscillatorTolerancePpm) * 1e-6),
      pressureOut_{kRegPressOutXl, 3, kStatusPDa, kStatusPOr},
      temperatureOut_{kRegTempOutL, 2, kStatusTDa, kStatusTOr} {
  resetRegisters();
}

void Lps25h::resetRegisters() {
  regs_.fill(0);
  regs_[kRegWhoAmI] = kWhoAmI;
  regs_[kRegResConf] = 0x05;
  samplesTaken_ = 0;
  oneShotAt_.reset();
  for (Output* out : {&pressureOut_, &temperatureOut_}) {
    out->bytesRead = 0;
    out->blocked = false;
    out->waiting.reset();
    out->waitingOverran = false;
  }
}

std::optional<Time> Lps25h::samplePeriod() const {
  Time nominal = 0;
  switch ((regs_[kRegCtrl1] >> 4) & 7) {
    case 1:
      nominal = seconds(1);
      break;
    case 2:
      nominal = fraction(1, 7);
      break;
    case 3:
      nominal = fraction(2, 25);
      break;
    case 4:
      nominal = fraction(1, 25);
      break;
    default:
      return std::nullopt;  // one-shot, or a reserved rate: no continuous sampling
  }
  if (oscillatorError_ == 0) return clock_.outside(nominal);
  return clock_.outside(static_cast<Time>(std::llround(static_cast<double>(nominal) * (1.0 + oscillatorError_))));
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
  deliver(pressureOut_, static_cast<std::uint32_t>(p) & 0xFFFFFF);
  deliver(temperatureOut_, static_cast<std::uint16_t>(t));
}

// A new sample for one output: into its registers now, or, while block data
// update holds them, kept until the read of the held sample is complete.
void Lps25h::deliver(Output& out, std::uint32_t value) {
  if (out.blocked) {
    out.waitingOverran = out.waiting.has_value();
    out.waiting = value;
    return;
  }
  show(out, value, false);
}

void Lps25h::show(Output& out, std::uint32_t value, bool overran) {
  for (std::uint8_t i = 0; i < out.length; ++i) regs_[out.first + i] = static_cast<std::uint8_t>(value >> (8 * i));
  std::uint8_t& status = regs_[kRegStatus];
  // Overrun: new data came while the last was still unread (or a waiting
  // sample was replaced by a newer one before it could be shown).
  if ((status & out.dataReady) || overran) status |= out.overrun;
  status |= out.dataReady;
}

// Ends the hold on an output; a sample that came meanwhile takes its place.
void Lps25h::release(Output& out) {
  out.blocked = false;
  out.bytesRead = 0;
  if (out.waiting) show(out, *out.waiting, out.waitingOverran);
  out.waiting.reset();
  out.waitingOverran = false;
}

void Lps25h::unblockAll() {
  release(pressureOut_);
  release(temperatureOut_);
}

// A byte of an output was read. With BDU set the first byte read holds the
// output's sample; the read of its last unread byte lets it go.
void Lps25h::noteOutputRead(Output& out, std::uint8_t address) {
  if (address < out.first || address >= out.first + out.length) return;
  if (!blockDataUpdate()) return;
  out.blocked = true;
  out.bytesRead = static_cast<std::uint8_t>(out.bytesRead | (1u << (address - out.first)));
  if (out.bytesRead == (1u << out.length) - 1) release(out);
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
    if ((value & kCtrl2OneShot) && poweredUp() && !samplePeriod()) {
      Time conversion = kOneShotTime;
      if (oscillatorError_ != 0)
        conversion = static_cast<Time>(std::llround(static_cast<double>(conversion) * (1.0 + oscillatorError_)));
      oneShotAt_ = clock_.now() + clock_.outside(conversion);
    }
    return;
  }
  std::uint8_t old = regs_[address];
  regs_[address] = value;
  if (address == kRegCtrl1 && ((old ^ value) & 0xF0) != 0) {
    // Powering up or changing the rate starts the sample clock again.
    rateStart_ = clock_.now();
    samplesTaken_ = 0;
  }
  // Without block data update nothing holds the outputs any more.
  if (address == kRegCtrl1 && !(value & kCtrl1Bdu)) unblockAll();
}

std::uint8_t Lps25h::readRegister(std::uint8_t address) {
  if (address >= kRegisterCount) return 0;  // reserved
  std::uint8_t value = regs_[address];
  if (address == kRegPressOutH) regs_[kRegStatus] &= static_cast<std::uint8_t>(~(kStatusPDa | kStatusPOr));
  if (address == kRegTempOutH) regs_[kRegStatus] &= static_cast<std::uint8_t>(~(kStatusTDa | kStatusTOr));
  noteOutputRead(pressureOut_, address);
  noteOutputRead(temperatureOut_, address);
  return value;
}

std::uint8_t Lps25h::reg(std::uint8_t address) {
  update();
  address &= 0x7F;
  return address < kRegisterCount ? regs_[address] : 0;
}

bool Lps25h::start(bool read) {
  update();
  addressPhase_ = !read;
  return true;
}

bool Lps25h::write(std::uint8_t byte) {
  if (addressPhase_) {
    // The sub-address: bit 7 asks for auto-increment, the low 7 bits are the
    // register address.
    addressPhase_ = false;
    pointer_ = byte & 0x7F;
    autoIncrement_ = (byte & 0x80) != 0;
    return true;
  }
  update();
  // Reserved addresses, 0x40-0x7F among them, take nothing.
  if (pointer_ < kRegisterCount) writeRegister(pointer_, byte);
  if (autoIncrement_) pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
  return true;
}

std::uint8_t Lps25h::read() {
  // Samples are taken byte by byte, as the master clocks each one out: what
  // a burst read sees of a sample done in the middle of it is up to BDU.
  update();
  std::uint8_t value = readRegister(pointer_);
  if (autoIncrement_) pointer_ = static_cast<std::uint8_t>((pointer_ + 1) & 0x7F);
  return value;
}

}  // namespace sim
