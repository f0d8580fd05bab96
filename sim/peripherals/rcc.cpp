#include "rcc.h"

#include <array>

#include "../core/stop.h"

namespace sim {

namespace {

constexpr std::uint32_t kHseHz = 12'000'000;  // the board's crystal
constexpr std::uint32_t kHsiHz = 16'000'000;
constexpr std::uint32_t kMsiBaseHz = 32'768;  // MSI = 32,768 Hz x 2^(range + 1)

// Register offsets.
constexpr std::uint32_t kCR = 0x00, kICSCR = 0x04, kCFGR = 0x08, kCIR = 0x0C;
constexpr std::uint32_t kAHBRSTR = 0x10, kAPB2RSTR = 0x14, kAPB1RSTR = 0x18;
constexpr std::uint32_t kAHBENR = 0x1C, kAPB2ENR = 0x20, kAPB1ENR = 0x24;
constexpr std::uint32_t kAHBLPENR = 0x28, kAPB2LPENR = 0x2C, kAPB1LPENR = 0x30, kCSR = 0x34;

// CR
constexpr std::uint32_t kHSION = 1u << 0, kHSIRDY = 1u << 1;
constexpr std::uint32_t kMSION = 1u << 8, kMSIRDY = 1u << 9;
constexpr std::uint32_t kHSEON = 1u << 16, kHSERDY = 1u << 17, kHSEBYP = 1u << 18;
constexpr std::uint32_t kPLLON = 1u << 24, kPLLRDY = 1u << 25;
constexpr std::uint32_t kCSSON = 1u << 28, kRTCPRE = 3u << 29;
constexpr std::uint32_t kCrReady = kHSIRDY | kMSIRDY | kHSERDY | kPLLRDY;
constexpr std::uint32_t kCrWritable = kHSION | kMSION | kHSEON | kHSEBYP | kPLLON | kCSSON | kRTCPRE;

// ICSCR: HSITRIM 12:8, MSIRANGE 15:13, MSITRIM 31:24 are writable; the
// calibration fields are factory values (zero here).
constexpr std::uint32_t kMsiRangePos = 13;
constexpr std::uint32_t kMsiRange = 7u << kMsiRangePos;
constexpr std::uint32_t kIcscrWritable = (0x1Fu << 8) | kMsiRange | (0xFFu << 24);
constexpr std::uint32_t kIcscrReset = (5u << kMsiRangePos) | (0x10u << 8);

// CFGR
constexpr std::uint32_t kSW = 3u << 0;
constexpr std::uint32_t kSWSPos = 2;
constexpr std::uint32_t kSWS = 3u << kSWSPos;
constexpr std::uint32_t kHPREPos = 4, kHPRE = 0xFu << kHPREPos;
constexpr std::uint32_t kPPRE1Pos = 8, kPPRE1 = 7u << kPPRE1Pos;
constexpr std::uint32_t kPPRE2Pos = 11, kPPRE2 = 7u << kPPRE2Pos;
constexpr std::uint32_t kPLLSRC = 1u << 16;  // 0: HSI, 1: HSE
constexpr std::uint32_t kPLLMULPos = 18, kPLLMUL = 0xFu << kPLLMULPos;
constexpr std::uint32_t kPLLDIVPos = 22, kPLLDIV = 3u << kPLLDIVPos;
constexpr std::uint32_t kMCOSEL = 7u << 24, kMCOPRE = 7u << 28;
constexpr std::uint32_t kPllConfig = kPLLSRC | kPLLMUL | kPLLDIV;
constexpr std::uint32_t kCfgrWritable = kSW | kHPRE | kPPRE1 | kPPRE2 | kPllConfig | kMCOSEL | kMCOPRE;

// CIR: ready flags 7:0 (read only), their enables 8 bits higher, clear bits 16 higher.
constexpr std::uint32_t kHSIRDYF = 1u << 2, kHSERDYF = 1u << 3, kPLLRDYF = 1u << 4, kMSIRDYF = 1u << 5;
constexpr std::uint32_t kCirFlags = 0xFFu;
constexpr std::uint32_t kCirEnables = 0x7Fu << 8;

// CSR: LSI, LSE, RTC control; reset flags 31:25 cleared by RMVF.
constexpr std::uint32_t kLSION = 1u << 0, kLSIRDY = 1u << 1;
constexpr std::uint32_t kCsrWritable =
    kLSION | (1u << 8) | (1u << 10) | (1u << 11) | (3u << 16) | (1u << 22) | (1u << 23);
constexpr std::uint32_t kRMVF = 1u << 24;
constexpr std::uint32_t kCsrResetFlags = 0x7Fu << 25;
constexpr std::uint32_t kCsrReset = (1u << 26) | (1u << 27);  // pin reset and power-on reset

constexpr std::uint32_t kFlitfEn = 1u << 15;  // flash interface clock, on after reset

// PLLMUL codes 0..8; higher codes are reserved.
constexpr std::array<std::uint32_t, 9> kPllMul{3, 4, 6, 8, 12, 16, 24, 32, 48};
// HPRE: 0xxx = 1, then 2, 4, 8, 16, 64, 128, 256, 512 (as shifts).
constexpr std::array<unsigned, 16> kAhbShift{0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
// PPRE1/PPRE2: 0xx = 1, then 2, 4, 8, 16.
constexpr std::array<unsigned, 8> kApbShift{0, 0, 0, 0, 1, 2, 3, 4};

std::string hex(std::uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += digits[(value >> shift) & 0xF];
  return s;
}

}  // namespace

Rcc::Rcc(Clock& clock, RccConfig config) : clock_(clock), config_(config), cr_(kMSION | kMSIRDY), icscr_(kIcscrReset) {
  ahbenr_ = kFlitfEn;
  csr_ = kCsrReset;
  updateCoreClock();
}

// ---------------------------------------------------------------- bus access

std::uint32_t Rcc::read(std::uint32_t offset, unsigned width) {
  return slotPart(registerValue(offset & ~3u), offset, width);
}

void Rcc::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  std::uint32_t slot = offset & ~3u;
  writeRegister(slot, slotMerge(registerValue(slot), offset, width, value));
}

std::uint32_t Rcc::registerValue(std::uint32_t slot) const {
  switch (slot) {
    case kCR:
      return cr_;
    case kICSCR:
      return icscr_;
    case kCFGR:
      return cfgr_;
    case kCIR:
      return cir_;
    case kAHBRSTR:
      return ahbrstr_;
    case kAPB2RSTR:
      return apb2rstr_;
    case kAPB1RSTR:
      return apb1rstr_;
    case kAHBENR:
      return ahbenr_;
    case kAPB2ENR:
      return apb2enr_;
    case kAPB1ENR:
      return apb1enr_;
    case kAHBLPENR:
      return ahblpenr_;
    case kAPB2LPENR:
      return apb2lpenr_;
    case kAPB1LPENR:
      return apb1lpenr_;
    case kCSR:
      return csr_;
    default:
      return 0;  // reserved: reads as zero
  }
}

void Rcc::writeRegister(std::uint32_t slot, std::uint32_t value) {
  switch (slot) {
    case kCR:
      writeCr(value);
      break;
    case kICSCR:
      writeIcscr(value);
      break;
    case kCFGR:
      writeCfgr(value);
      break;
    case kCIR: {
      std::uint32_t cleared = (value >> 16) & kCirFlags;
      cir_ = (cir_ & kCirFlags & ~cleared) | (value & kCirEnables);
      break;
    }
    case kAHBRSTR:
      writeReset(Bus::AHB, ahbrstr_, value);
      break;
    case kAPB2RSTR:
      writeReset(Bus::APB2, apb2rstr_, value);
      break;
    case kAPB1RSTR:
      writeReset(Bus::APB1, apb1rstr_, value);
      break;
    case kAHBENR:
      ahbenr_ = value;
      break;
    case kAPB2ENR:
      apb2enr_ = value;
      break;
    case kAPB1ENR:
      apb1enr_ = value;
      break;
    case kAHBLPENR:
      ahblpenr_ = value;
      break;
    case kAPB2LPENR:
      apb2lpenr_ = value;
      break;
    case kAPB1LPENR:
      apb1lpenr_ = value;
      break;
    case kCSR: {
      std::uint32_t flags = (value & kRMVF) ? 0 : (csr_ & kCsrResetFlags);
      csr_ = flags | (value & kCsrWritable);
      if (csr_ & kLSION) csr_ |= kLSIRDY;  // the LSI starts within a few of its cycles
      break;
    }
    default:
      break;  // reserved: writes ignored
  }
}

// ---------------------------------------------------------------- oscillators

void Rcc::writeCr(std::uint32_t value) {
  const std::uint32_t old = cr_;
  std::uint32_t want = value & kCrWritable;
  // HSEBYP can only change while the HSE is off.
  if (old & kHSEON) want = (want & ~kHSEBYP) | (old & kHSEBYP);
  // An oscillator that feeds the system clock, directly or through the PLL, or is
  // selected to feed it, cannot be switched off: its ON bit stays set.
  const std::pair<std::uint32_t, Source> oscillators[] = {
      {kMSION, Source::MSI}, {kHSION, Source::HSI}, {kHSEON, Source::HSE}, {kPLLON, Source::PLL}};
  for (auto [on, source] : oscillators) {
    if ((old & on) && !(want & on) && sourceInUse(source)) want |= on;
  }

  const auto rising = [&](std::uint32_t bit) { return !(old & bit) && (want & bit); };
  const auto falling = [&](std::uint32_t bit) { return (old & bit) && !(want & bit); };

  if (rising(kPLLON)) {
    std::uint32_t mulCode = (cfgr_ & kPLLMUL) >> kPLLMULPos;
    std::uint32_t divCode = (cfgr_ & kPLLDIV) >> kPLLDIVPos;
    if (mulCode >= kPllMul.size()) {
      throw Stop(StopKind::Fault, "RCC: PLL switched on (CR PLLON) with the reserved multiplier code " +
                                      std::to_string(mulCode) + " in CFGR PLLMUL (CFGR " + hex(cfgr_) + ")");
    }
    if (divCode == 0) {
      throw Stop(
          StopKind::Fault,
          "RCC: PLL switched on (CR PLLON) with the reserved divider code 0 in CFGR PLLDIV (CFGR " + hex(cfgr_) + ")");
    }
  }

  cr_ = (old & kCrReady) | want;

  if (rising(kMSION) && !(cr_ & kMSIRDY)) {
    msiEvent_ = clock_.after(config_.msiStartup, [this] { sourceBecameReady(kMSIRDY, kMSIRDYF); });
  }
  if (falling(kMSION)) {
    clock_.cancel(msiEvent_);
    cr_ &= ~kMSIRDY;
  }
  if (rising(kHSION)) {
    hsiEvent_ = clock_.after(config_.hsiStartup, [this] { sourceBecameReady(kHSIRDY, kHSIRDYF); });
  }
  if (falling(kHSION)) {
    clock_.cancel(hsiEvent_);
    cr_ &= ~kHSIRDY;
  }
  // A missing crystal never oscillates; in bypass mode the HSE would need an
  // external clock on OSC_IN, which this board does not have.
  if (rising(kHSEON) && config_.crystal && !(cr_ & kHSEBYP)) {
    hseEvent_ = clock_.after(config_.crystalStartup, [this] { sourceBecameReady(kHSERDY, kHSERDYF); });
  }
  if (falling(kHSEON)) {
    clock_.cancel(hseEvent_);
    cr_ &= ~kHSERDY;
  }
  if (falling(kPLLON)) {
    clock_.cancel(pllEvent_);
    cr_ &= ~kPLLRDY;
  }
  // A running PLL whose reference has stopped loses its lock.
  if ((cr_ & kPLLON) && !sourceReady(pllSource())) {
    clock_.cancel(pllEvent_);
    cr_ &= ~kPLLRDY;
  }
  startPllIfPossible();
  applyClockSwitch();
}

void Rcc::writeIcscr(std::uint32_t value) {
  std::uint32_t range = (value & kMsiRange) >> kMsiRangePos;
  if (range == 7) {
    throw Stop(StopKind::Fault, "RCC: reserved MSI range 7 written to ICSCR MSIRANGE (ICSCR " + hex(value) + ")");
  }
  icscr_ = (icscr_ & ~kIcscrWritable) | (value & kIcscrWritable);
  updateCoreClock();
}

void Rcc::writeCfgr(std::uint32_t value) {
  std::uint32_t want = value & kCfgrWritable;
  // The PLL source, multiplier and divider can only change while the PLL is off.
  if (cr_ & kPLLON) want = (want & ~kPllConfig) | (cfgr_ & kPllConfig);
  cfgr_ = want | (cfgr_ & kSWS);
  applyClockSwitch();
  updateCoreClock();  // prescaler changes take effect at once
}

void Rcc::writeReset(Bus bus, std::uint32_t& reg, std::uint32_t value) {
  std::uint32_t asserted = value & ~reg;
  reg = value;
  for (const ResetLink& link : resets_) {
    if (link.bus == bus && (asserted & link.bit)) link.peripheral->reset();
  }
}

void Rcc::sourceBecameReady(std::uint32_t readyBit, std::uint32_t interruptFlag) {
  cr_ |= readyBit;
  if (cir_ & (interruptFlag << 8)) cir_ |= interruptFlag;
  startPllIfPossible();
  applyClockSwitch();
}

void Rcc::startPllIfPossible() {
  if (!(cr_ & kPLLON) || (cr_ & kPLLRDY) || clock_.pending(pllEvent_)) return;
  if (!sourceReady(pllSource())) return;  // locks once its reference runs
  pllEvent_ = clock_.after(config_.pllLock, [this] {
    if ((cr_ & kPLLON) && sourceReady(pllSource())) sourceBecameReady(kPLLRDY, kPLLRDYF);
  });
}

void Rcc::applyClockSwitch() {
  if (clock_.pending(switchEvent_)) return;  // the switch under way picks up SW when it completes
  auto target = static_cast<Source>(cfgr_ & kSW);
  auto current = static_cast<Source>((cfgr_ & kSWS) >> kSWSPos);
  if (target == current || !sourceReady(target)) return;  // waits until the new source is ready
  // The switch takes a couple of cycles of both the old and the new clock.
  Time delay = cyclesToTime(2, sourceHz(current)) + cyclesToTime(2, sourceHz(target));
  switchEvent_ = clock_.after(delay, [this] {
    auto to = static_cast<Source>(cfgr_ & kSW);
    if (!sourceReady(to)) return;
    cfgr_ = (cfgr_ & ~kSWS) | (static_cast<std::uint32_t>(to) << kSWSPos);
    updateCoreClock();
  });
}

void Rcc::updateCoreClock() {
  std::uint32_t sys = sysclkHz(), h = hclkHz(), p1 = pclk1Hz(), p2 = pclk2Hz();
  if (sys == sysclk_ && h == hclk_ && p1 == pclk1_ && p2 == pclk2_) return;
  bool coreChanged = h != hclk_;
  sysclk_ = sys;
  hclk_ = h;
  pclk1_ = p1;
  pclk2_ = p2;
  if (coreChanged) clock_.setCoreHz(h);
  clock_.notifyClockChange();
}

// ---------------------------------------------------------------- sources

Rcc::Source Rcc::pllSource() const { return (cfgr_ & kPLLSRC) ? Source::HSE : Source::HSI; }

bool Rcc::sourceReady(Source source) const {
  switch (source) {
    case Source::MSI:
      return (cr_ & kMSIRDY) != 0;
    case Source::HSI:
      return (cr_ & kHSIRDY) != 0;
    case Source::HSE:
      return (cr_ & kHSERDY) != 0;
    case Source::PLL:
      return (cr_ & kPLLRDY) != 0;
  }
  return false;
}

bool Rcc::sourceInUse(Source source) const {
  auto feeds = [&](Source s) { return s == source || (s == Source::PLL && pllSource() == source); };
  auto target = static_cast<Source>(cfgr_ & kSW);
  auto current = static_cast<Source>((cfgr_ & kSWS) >> kSWSPos);
  return feeds(current) || feeds(target);
}

std::uint32_t Rcc::sourceHz(Source source) const {
  switch (source) {
    case Source::MSI:
      return kMsiBaseHz << (((icscr_ & kMsiRange) >> kMsiRangePos) + 1);
    case Source::HSI:
      return kHsiHz;
    case Source::HSE:
      return kHseHz;
    case Source::PLL:
      return pllHz();
  }
  return 0;
}

std::uint32_t Rcc::pllHz() const {
  std::uint32_t mulCode = (cfgr_ & kPLLMUL) >> kPLLMULPos;
  std::uint32_t div = ((cfgr_ & kPLLDIV) >> kPLLDIVPos) + 1;
  if (mulCode >= kPllMul.size()) return 0;  // cannot run: refused when the PLL is switched on
  std::uint64_t hz = std::uint64_t{sourceHz(pllSource())} * kPllMul[mulCode] / div;
  return static_cast<std::uint32_t>(hz);
}

// ---------------------------------------------------------------- frequencies

std::uint32_t Rcc::sysclkHz() const { return sourceHz(static_cast<Source>((cfgr_ & kSWS) >> kSWSPos)); }

std::uint32_t Rcc::hclkHz() const { return sysclkHz() >> kAhbShift[(cfgr_ & kHPRE) >> kHPREPos]; }

std::uint32_t Rcc::pclk1Hz() const { return hclkHz() >> kApbShift[(cfgr_ & kPPRE1) >> kPPRE1Pos]; }

std::uint32_t Rcc::pclk2Hz() const { return hclkHz() >> kApbShift[(cfgr_ & kPPRE2) >> kPPRE2Pos]; }

std::uint32_t Rcc::apb1TimerHz() const {
  bool divided = kApbShift[(cfgr_ & kPPRE1) >> kPPRE1Pos] != 0;
  return divided ? 2 * pclk1Hz() : pclk1Hz();
}

// ---------------------------------------------------------------- peripheral clocks and resets

bool Rcc::clockEnabled(Bus bus, std::uint32_t bit) const {
  switch (bus) {
    case Bus::AHB:
      return (ahbenr_ & bit) != 0;
    case Bus::APB1:
      return (apb1enr_ & bit) != 0;
    case Bus::APB2:
      return (apb2enr_ & bit) != 0;
  }
  return false;
}

void Rcc::attachReset(Bus bus, std::uint32_t bit, Peripheral& peripheral) {
  resets_.push_back(ResetLink{bus, bit, &peripheral});
}

}  // namespace sim
