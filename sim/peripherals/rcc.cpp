#include "rcc.h"

#include <array>
#include <cstddef>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {

constexpr std::uint32_t kHseHz = 12'000'000;  // the board's crystal
constexpr std::uint32_t kHsiHz = 16'000'000;
constexpr std::uint32_t kMsiBaseHz = 32'768;  // MSI = 32,768 Hz x 2^(range + 1)

constexpr std::uint32_t kCR = offsetof(RCC_TypeDef, CR);
constexpr std::uint32_t kICSCR = offsetof(RCC_TypeDef, ICSCR);
constexpr std::uint32_t kCFGR = offsetof(RCC_TypeDef, CFGR);
constexpr std::uint32_t kCIR = offsetof(RCC_TypeDef, CIR);
constexpr std::uint32_t kAHBRSTR = offsetof(RCC_TypeDef, AHBRSTR);
constexpr std::uint32_t kAPB2RSTR = offsetof(RCC_TypeDef, APB2RSTR);
constexpr std::uint32_t kAPB1RSTR = offsetof(RCC_TypeDef, APB1RSTR);
constexpr std::uint32_t kAHBENR = offsetof(RCC_TypeDef, AHBENR);
constexpr std::uint32_t kAPB2ENR = offsetof(RCC_TypeDef, APB2ENR);
constexpr std::uint32_t kAPB1ENR = offsetof(RCC_TypeDef, APB1ENR);
constexpr std::uint32_t kAHBLPENR = offsetof(RCC_TypeDef, AHBLPENR);
constexpr std::uint32_t kAPB2LPENR = offsetof(RCC_TypeDef, APB2LPENR);
constexpr std::uint32_t kAPB1LPENR = offsetof(RCC_TypeDef, APB1LPENR);
constexpr std::uint32_t kCSR = offsetof(RCC_TypeDef, CSR);

// CR
constexpr std::uint32_t kCrReady = RCC_CR_HSIRDY | RCC_CR_MSIRDY | RCC_CR_HSERDY | RCC_CR_PLLRDY;
constexpr std::uint32_t kCrWritable =
    RCC_CR_HSION | RCC_CR_MSION | RCC_CR_HSEON | RCC_CR_HSEBYP | RCC_CR_PLLON | RCC_CR_CSSON | RCC_CR_RTCPRE;

// ICSCR: HSITRIM, MSIRANGE and MSITRIM are writable; the calibration fields
// are factory values (zero here).
constexpr std::uint32_t kIcscrWritable = RCC_ICSCR_HSITRIM | RCC_ICSCR_MSIRANGE | RCC_ICSCR_MSITRIM;
constexpr std::uint32_t kIcscrReset = (5u << RCC_ICSCR_MSIRANGE_Pos) | (0x10u << RCC_ICSCR_HSITRIM_Pos);

// CFGR
constexpr std::uint32_t kPllConfig = RCC_CFGR_PLLSRC | RCC_CFGR_PLLMUL | RCC_CFGR_PLLDIV;
constexpr std::uint32_t kCfgrWritable =
    RCC_CFGR_SW | RCC_CFGR_HPRE | RCC_CFGR_PPRE1 | RCC_CFGR_PPRE2 | kPllConfig | RCC_CFGR_MCOSEL | RCC_CFGR_MCOPRE;

// CIR: ready flags 7:0 (read only), their enables 8 bits higher, clear bits 16 higher.
constexpr std::uint32_t kCirFlags = 0xFFu;
constexpr std::uint32_t kCirEnables = 0x7Fu << 8;

// CSR: LSI (LSION), LSE (LSEON, LSEBYP, LSECSSON), RTC control (RTCSEL, RTCEN,
// RTCRST); reset flags 31:25 cleared by RMVF.
constexpr std::uint32_t kCsrWritable =
    RCC_CSR_LSION | (1u << 8) | (1u << 10) | (1u << 11) | (3u << 16) | (1u << 22) | (1u << 23);
constexpr std::uint32_t kCsrResetFlags = 0x7Fu << 25;
constexpr std::uint32_t kCsrReset = (1u << 26) | (1u << 27);  // pin reset and power-on reset

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

Rcc::Rcc(Clock& clock, RccConfig config)
    : clock_(clock), config_(config), cr_(RCC_CR_MSION | RCC_CR_MSIRDY), icscr_(kIcscrReset) {
  ahbenr_ = RCC_AHBENR_FLITFEN;
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
      writeEnable(Bus::AHB, ahbenr_, value);
      break;
    case kAPB2ENR:
      writeEnable(Bus::APB2, apb2enr_, value);
      break;
    case kAPB1ENR:
      writeEnable(Bus::APB1, apb1enr_, value);
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
      std::uint32_t flags = (value & RCC_CSR_RMVF) ? 0 : (csr_ & kCsrResetFlags);
      csr_ = flags | (value & kCsrWritable);
      if (csr_ & RCC_CSR_LSION) csr_ |= RCC_CSR_LSIRDY;  // the LSI starts within a few of its cycles
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
  if (old & RCC_CR_HSEON) want = (want & ~RCC_CR_HSEBYP) | (old & RCC_CR_HSEBYP);
  // An oscillator that feeds the system clock, directly or through the PLL, or is
  // selected to feed it, cannot be switched off: its ON bit stays set.
  const std::pair<std::uint32_t, Source> oscillators[] = {{RCC_CR_MSION, Source::MSI},
                                                          {RCC_CR_HSION, Source::HSI},
                                                          {RCC_CR_HSEON, Source::HSE},
                                                          {RCC_CR_PLLON, Source::PLL}};
  for (auto [on, source] : oscillators) {
    if ((old & on) && !(want & on) && sourceInUse(source)) want |= on;
  }

  const auto rising = [&](std::uint32_t bit) { return !(old & bit) && (want & bit); };
  const auto falling = [&](std::uint32_t bit) { return (old & bit) && !(want & bit); };

  if (rising(RCC_CR_PLLON)) {
    std::uint32_t mulCode = (cfgr_ & RCC_CFGR_PLLMUL) >> RCC_CFGR_PLLMUL_Pos;
    std::uint32_t divCode = (cfgr_ & RCC_CFGR_PLLDIV) >> RCC_CFGR_PLLDIV_Pos;
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

  if (rising(RCC_CR_MSION) && !(cr_ & RCC_CR_MSIRDY)) {
    msiEvent_ = clock_.after(config_.msiStartup, [this] { sourceBecameReady(RCC_CR_MSIRDY, RCC_CIR_MSIRDYF); });
  }
  if (falling(RCC_CR_MSION)) {
    clock_.cancel(msiEvent_);
    cr_ &= ~RCC_CR_MSIRDY;
  }
  if (rising(RCC_CR_HSION)) {
    hsiEvent_ = clock_.after(config_.hsiStartup, [this] { sourceBecameReady(RCC_CR_HSIRDY, RCC_CIR_HSIRDYF); });
  }
  if (falling(RCC_CR_HSION)) {
    clock_.cancel(hsiEvent_);
    cr_ &= ~RCC_CR_HSIRDY;
  }
  // A missing crystal never oscillates; in bypass mode the HSE would need an
  // external clock on OSC_IN, which this board does not have.
  if (rising(RCC_CR_HSEON) && config_.crystal && !(cr_ & RCC_CR_HSEBYP)) {
    hseEvent_ = clock_.after(config_.crystalStartup, [this] { sourceBecameReady(RCC_CR_HSERDY, RCC_CIR_HSERDYF); });
  }
  if (falling(RCC_CR_HSEON)) {
    clock_.cancel(hseEvent_);
    cr_ &= ~RCC_CR_HSERDY;
  }
  if (falling(RCC_CR_PLLON)) {
    clock_.cancel(pllEvent_);
    cr_ &= ~RCC_CR_PLLRDY;
  }
  // A running PLL whose reference has stopped loses its lock.
  if ((cr_ & RCC_CR_PLLON) && !sourceReady(pllSource())) {
    clock_.cancel(pllEvent_);
    cr_ &= ~RCC_CR_PLLRDY;
  }
  startPllIfPossible();
  applyClockSwitch();
  changed_();
}

void Rcc::writeIcscr(std::uint32_t value) {
  std::uint32_t range = (value & RCC_ICSCR_MSIRANGE) >> RCC_ICSCR_MSIRANGE_Pos;
  if (range == 7) {
    throw Stop(StopKind::Fault, "RCC: reserved MSI range 7 written to ICSCR MSIRANGE (ICSCR " + hex(value) + ")");
  }
  icscr_ = (icscr_ & ~kIcscrWritable) | (value & kIcscrWritable);
  updateCoreClock();
  changed_();
}

void Rcc::writeCfgr(std::uint32_t value) {
  std::uint32_t want = value & kCfgrWritable;
  // The PLL source, multiplier and divider can only change while the PLL is off.
  if (cr_ & RCC_CR_PLLON) want = (want & ~kPllConfig) | (cfgr_ & kPllConfig);
  cfgr_ = want | (cfgr_ & RCC_CFGR_SWS);
  applyClockSwitch();
  updateCoreClock();  // prescaler changes take effect at once
  changed_();
}

void Rcc::writeReset(Bus bus, std::uint32_t& reg, std::uint32_t value) {
  reg = value;
  for (const Link& link : links_) {
    if (link.bus == bus) link.peripheral->setHeldInReset((reg & link.bit) != 0);
  }
}

void Rcc::writeEnable(Bus bus, std::uint32_t& reg, std::uint32_t value) {
  reg = value;
  for (const Link& link : links_) {
    if (link.bus == bus) link.peripheral->setClocked((reg & link.bit) != 0);
  }
}

std::uint32_t Rcc::resetBits(Bus bus) const {
  switch (bus) {
    case Bus::AHB:
      return ahbrstr_;
    case Bus::APB1:
      return apb1rstr_;
    case Bus::APB2:
      return apb2rstr_;
  }
  return 0;
}

void Rcc::sourceBecameReady(std::uint32_t readyBit, std::uint32_t interruptFlag) {
  cr_ |= readyBit;
  if (cir_ & (interruptFlag << 8)) cir_ |= interruptFlag;
  startPllIfPossible();
  applyClockSwitch();
}

void Rcc::startPllIfPossible() {
  if (!(cr_ & RCC_CR_PLLON) || (cr_ & RCC_CR_PLLRDY) || clock_.pending(pllEvent_)) return;
  if (!sourceReady(pllSource())) return;  // locks once its reference runs
  pllEvent_ = clock_.after(config_.pllLock, [this] {
    if ((cr_ & RCC_CR_PLLON) && sourceReady(pllSource())) sourceBecameReady(RCC_CR_PLLRDY, RCC_CIR_PLLRDYF);
  });
}

void Rcc::applyClockSwitch() {
  if (clock_.pending(switchEvent_)) return;  // the switch under way picks up SW when it completes
  auto target = static_cast<Source>(cfgr_ & RCC_CFGR_SW);
  auto current = static_cast<Source>((cfgr_ & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos);
  if (target == current || !sourceReady(target)) return;  // waits until the new source is ready
  // The switch takes a couple of cycles of both the old and the new clock.
  Time delay = cyclesToTime(2, sourceHz(current)) + cyclesToTime(2, sourceHz(target));
  switchEvent_ = clock_.after(delay, [this] {
    auto to = static_cast<Source>(cfgr_ & RCC_CFGR_SW);
    if (!sourceReady(to)) return;
    cfgr_ = (cfgr_ & ~RCC_CFGR_SWS) | (static_cast<std::uint32_t>(to) << RCC_CFGR_SWS_Pos);
    updateCoreClock();
  });
}

void Rcc::updateCoreClock() {
  clock_.setOscillatorError(sourceErrorPpb(static_cast<Source>((cfgr_ & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos)));
  std::uint32_t sys = sysclkHz(), h = hclkHz(), p1 = pclk1Hz(), p2 = pclk2Hz();
  if (sys == sysclk_ && h == hclk_ && p1 == pclk1_ && p2 == pclk2_) return;
  bool coreChanged = h != hclk_;
  sysclk_ = sys;
  hclk_ = h;
  pclk1_ = p1;
  pclk2_ = p2;
  if (coreChanged) clock_.setCoreHz(h);
  clock_.notifyClockChange();
  changed_();
}

// ---------------------------------------------------------------- sources

Rcc::Source Rcc::pllSource() const { return (cfgr_ & RCC_CFGR_PLLSRC) ? Source::HSE : Source::HSI; }

bool Rcc::sourceReady(Source source) const {
  switch (source) {
    case Source::MSI:
      return (cr_ & RCC_CR_MSIRDY) != 0;
    case Source::HSI:
      return (cr_ & RCC_CR_HSIRDY) != 0;
    case Source::HSE:
      return (cr_ & RCC_CR_HSERDY) != 0;
    case Source::PLL:
      return (cr_ & RCC_CR_PLLRDY) != 0;
  }
  return false;
}

bool Rcc::sourceInUse(Source source) const {
  auto feeds = [&](Source s) { return s == source || (s == Source::PLL && pllSource() == source); };
  auto target = static_cast<Source>(cfgr_ & RCC_CFGR_SW);
  auto current = static_cast<Source>((cfgr_ & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos);
  return feeds(current) || feeds(target);
}

std::uint32_t Rcc::sourceHz(Source source) const {
  switch (source) {
    case Source::MSI:
      return kMsiBaseHz << (((icscr_ & RCC_ICSCR_MSIRANGE) >> RCC_ICSCR_MSIRANGE_Pos) + 1);
    case Source::HSI:
      return kHsiHz;
    case Source::HSE:
      return kHseHz;
    case Source::PLL:
      return pllHz();
  }
  return 0;
}

std::int64_t Rcc::sourceErrorPpb(Source source) const {
  switch (source) {
    case Source::MSI:
      return config_.msiErrorPpb;
    case Source::HSI:
      return config_.hsiErrorPpb;
    case Source::HSE:
      return config_.hseErrorPpb;
    case Source::PLL:
      return sourceErrorPpb(pllSource());
  }
  return 0;
}

bool Rcc::pllOn() const { return (cr_ & RCC_CR_PLLON) != 0; }

std::uint32_t Rcc::pllInputHz() const { return sourceHz(pllSource()); }

std::uint32_t Rcc::pllVcoHz() const {
  std::uint32_t mulCode = (cfgr_ & RCC_CFGR_PLLMUL) >> RCC_CFGR_PLLMUL_Pos;
  if (mulCode >= kPllMul.size()) return 0;
  return pllInputHz() * kPllMul[mulCode];
}

// The PLL's reference is HSI or HSE, both of a fixed rate: its output
// follows from CFGR alone.
std::uint32_t Rcc::pllHz() const {
  if (pllKnown_ && pllCfgr_ == cfgr_) return pllHz_;
  std::uint32_t mulCode = (cfgr_ & RCC_CFGR_PLLMUL) >> RCC_CFGR_PLLMUL_Pos;
  std::uint32_t div = ((cfgr_ & RCC_CFGR_PLLDIV) >> RCC_CFGR_PLLDIV_Pos) + 1;
  std::uint32_t hz = 0;  // a multiplier that cannot run: refused when the PLL is switched on
  if (mulCode < kPllMul.size()) hz = static_cast<std::uint32_t>(std::uint64_t{sourceHz(pllSource())} * kPllMul[mulCode] / div);
  pllKnown_ = true;
  pllCfgr_ = cfgr_;
  pllHz_ = hz;
  return hz;
}

// ---------------------------------------------------------------- frequencies

std::uint32_t Rcc::sysclkHz() const {
  return sourceHz(static_cast<Source>((cfgr_ & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos));
}

std::uint32_t Rcc::hclkHz() const { return sysclkHz() >> kAhbShift[(cfgr_ & RCC_CFGR_HPRE) >> RCC_CFGR_HPRE_Pos]; }

std::uint32_t Rcc::pclk1Hz() const { return hclkHz() >> kApbShift[(cfgr_ & RCC_CFGR_PPRE1) >> RCC_CFGR_PPRE1_Pos]; }

std::uint32_t Rcc::pclk2Hz() const { return hclkHz() >> kApbShift[(cfgr_ & RCC_CFGR_PPRE2) >> RCC_CFGR_PPRE2_Pos]; }

std::uint32_t Rcc::apb1TimerHz() const {
  bool divided = kApbShift[(cfgr_ & RCC_CFGR_PPRE1) >> RCC_CFGR_PPRE1_Pos] != 0;
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

void Rcc::attach(Bus bus, std::uint32_t bit, Peripheral& peripheral) {
  links_.push_back(Link{bus, bit, &peripheral});
  peripheral.setClocked(clockEnabled(bus, bit));
  peripheral.setHeldInReset((resetBits(bus) & bit) != 0);
}

}  // namespace sim
