#include "usart.h"

#include <cstddef>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {

constexpr std::uint32_t kSr = offsetof(USART_TypeDef, SR);
constexpr std::uint32_t kDr = offsetof(USART_TypeDef, DR);
constexpr std::uint32_t kBrr = offsetof(USART_TypeDef, BRR);
constexpr std::uint32_t kCr1 = offsetof(USART_TypeDef, CR1);
constexpr std::uint32_t kCr2 = offsetof(USART_TypeDef, CR2);
constexpr std::uint32_t kCr3 = offsetof(USART_TypeDef, CR3);
constexpr std::uint32_t kGtpr = offsetof(USART_TypeDef, GTPR);

constexpr std::uint16_t kSrErrors = USART_SR_PE | USART_SR_FE | USART_SR_NE | USART_SR_ORE;
constexpr std::uint16_t kSrReset = USART_SR_TXE | USART_SR_TC;
constexpr std::uint16_t kTransmitterOn = USART_CR1_UE | USART_CR1_TE;
constexpr std::uint16_t kReceiverOn = USART_CR1_UE | USART_CR1_RE;

}  // namespace

Usart::Usart(std::string name, Clock& clock, InterruptController& interrupts, int irqLine, BusClock busHz)
    : name_(std::move(name)),
      interrupts_(interrupts),
      irqLine_(irqLine),
      busHz_(std::move(busHz)),
      sr_(kSrReset),
      tx_(name_ + " TX"),
      rx_(name_ + " RX", [this](Net& net) { sampler_.watch(net); }),
      transmitter_(
          clock, [this](Level level) { tx_.set(level == Level::High ? Drive::High : Drive::Low); },
          [this] { return tx_.directDriver(); }),
      sampler_(
          clock, [this] { return receiveFormat(); },
          [this](std::uint16_t data, bool framingError) { received(data, framingError); }) {}

bool Usart::enabled() const { return (cr1_ & USART_CR1_UE) != 0; }

// Bus clock cycles of one bit: BRR as it stands with 16-fold oversampling; with
// 8-fold oversampling BRR[2:0] holds the fraction in eighths.
static std::uint32_t cyclesPerBit(std::uint16_t brr, std::uint16_t cr1) {
  if ((cr1 & USART_CR1_OVER8) != 0) return ((static_cast<std::uint32_t>(brr) >> 4) << 3) | (brr & 7u);
  return brr;
}

Time Usart::bitTime() const {
  std::uint32_t hz = busHz_ ? busHz_() : 0;
  std::uint32_t cycles = cyclesPerBit(brr_, cr1_);
  if (hz == 0 || cycles == 0) return 0;
  return fraction(cycles, hz);
}

bool Usart::steadyRead(std::uint32_t offset) const { return (offset & ~3u) == kSr; }

std::uint32_t Usart::read(std::uint32_t offset, unsigned width) {
  if ((offset & 3u) >= 2) return 0;  // upper half of each slot is reserved
  std::uint32_t value = 0;
  switch (offset & ~3u) {
    case kSr:
      value = sr_;
      srReadSinceError_ = true;
      srReadSinceTc_ = true;
      break;
    case kDr:
      value = rdr_;
      sr_ = static_cast<std::uint16_t>(sr_ & ~USART_SR_RXNE);
      // SR read, then DR read: the error flags seen in SR are cleared.
      if (srReadSinceError_) sr_ = static_cast<std::uint16_t>(sr_ & ~kSrErrors);
      srReadSinceError_ = false;
      updateInterruptLine();
      break;
    case kBrr:
      value = brr_;
      break;
    case kCr1:
      value = cr1_;
      break;
    case kCr2:
      value = cr2_;
      break;
    case kCr3:
      value = cr3_;
      break;
    case kGtpr:
      value = gtpr_;
      break;
    default:
      break;
  }
  return slotPart(value, offset, width);
}

void Usart::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if ((offset & 3u) >= 2) return;
  auto merged = [&](std::uint16_t reg) {
    return static_cast<std::uint16_t>(slotMerge(reg, offset, width, value) & 0xFFFFu);
  };
  switch (offset & ~3u) {
    case kSr: {
      // RXNE and TC clear when written 0; no flag can be set by software.
      std::uint16_t written = merged(sr_);
      std::uint16_t keep = static_cast<std::uint16_t>(written | ~(USART_SR_RXNE | USART_SR_TC));
      sr_ = static_cast<std::uint16_t>(sr_ & keep);
      updateInterruptLine();
      break;
    }
    case kDr: {
      if (!enabled()) return;  // the port is off: the write is lost
      std::uint16_t dataMask = (cr1_ & USART_CR1_M) != 0 ? 0x1FFu : 0xFFu;
      tdr_ = static_cast<std::uint16_t>(merged(0) & dataMask);
      sr_ = static_cast<std::uint16_t>(sr_ & ~USART_SR_TXE);
      // TC clears only by the sequence: SR read, then DR write.
      if (srReadSinceTc_) sr_ = static_cast<std::uint16_t>(sr_ & ~USART_SR_TC);
      srReadSinceTc_ = false;
      // With TE still 0 the byte waits in TDR until the transmitter is on.
      if (!transmitter_.busy() && (cr1_ & kTransmitterOn) == kTransmitterOn) {
        startNextFrame();
      } else {
        updateInterruptLine();
      }
      break;
    }
    case kBrr:
      brr_ = merged(brr_);
      break;
    case kCr1: {
      cr1_ = merged(cr1_);
      if (!enabled()) {
        // UE cleared: the prescalers and outputs stop; the model drops the
        // frames on the lines at once. A byte waiting in TDR stays there.
        transmitter_.abort();
        sampler_.abort();
      }
      updateTxLine();
      if (tdr_ && !transmitter_.busy() && (cr1_ & kTransmitterOn) == kTransmitterOn) {
        startNextFrame();  // a byte written while TE was 0 goes out now
      }
      updateInterruptLine();
      break;
    }
    case kCr2:
      cr2_ = merged(cr2_);
      break;
    case kCr3:
      cr3_ = merged(cr3_);
      break;
    case kGtpr:
      gtpr_ = merged(gtpr_);
      break;
    default:
      break;
  }
}

void Usart::reset() {
  transmitter_.abort();
  sampler_.abort();
  sr_ = kSrReset;
  rdr_ = 0;
  tdr_.reset();
  brr_ = cr1_ = cr2_ = cr3_ = gtpr_ = 0;
  srReadSinceError_ = false;
  srReadSinceTc_ = false;
  updateTxLine();
  updateInterruptLine();
}

// The TX signal idles high while the transmitter is on and lets go of the pin
// while it is off; during a frame the transmitter sets it bit by bit.
void Usart::updateTxLine() {
  if (transmitter_.busy()) return;
  tx_.set((cr1_ & kTransmitterOn) == kTransmitterOn ? Drive::High : Drive::None);
}

// Moves the byte waiting in TDR into the shift register and puts its frame on
// the TX signal at the rate the bus clock gives now; with nothing waiting the
// transmission is complete.
void Usart::startNextFrame() {
  if (!tdr_ || (cr1_ & kTransmitterOn) != kTransmitterOn) {
    sr_ |= USART_SR_TC;
    updateTxLine();
    updateInterruptLine();
    return;
  }
  // The frame's timing from BRR, the word length, the stop bits and the bus
  // clock, worked out again only when one of them has changed since the last
  // frame (each is a division).
  const std::uint32_t hz = busHz_ ? busHz_() : 0;
  const std::uint16_t cr1 = static_cast<std::uint16_t>(cr1_ & (USART_CR1_M | USART_CR1_OVER8));
  const std::uint16_t stopBits = static_cast<std::uint16_t>(cr2_ & USART_CR2_STOP);
  if (timing_.hz != hz || timing_.brr != brr_ || timing_.cr1 != cr1 || timing_.stop != stopBits) {
    std::uint32_t cycles = cyclesPerBit(brr_, cr1_);
    Time bit = hz == 0 || cycles == 0 ? 0 : fraction(cycles, hz);
    // Start bit, data bits and stop bits, the stop bits in halves (CR2 STOP:
    // 1, 0.5, 2, 1.5).
    static constexpr std::uint32_t kStopHalves[4] = {2, 1, 4, 3};
    unsigned bits = (cr1_ & USART_CR1_M) != 0 ? 9 : 8;
    std::uint32_t halves = 2 * (1 + bits) + kStopHalves[stopBits >> USART_CR2_STOP_Pos];
    Time frameTime = bit == 0 ? 0 : fraction(static_cast<std::uint64_t>(cycles) * halves, 2ull * hz);
    timing_ = Timing{hz, brr_, cr1, stopBits, bit, bit == 0 ? 0 : frameTime - (1 + bits) * bit};
  }
  const Time bit = timing_.bit;
  if (bit == 0) {
    throw Stop(StopKind::Fault, name_ + ": transmission started with no baud rate (BRR 0)");
  }
  std::uint16_t data = *tdr_;
  Frame frame{static_cast<std::uint8_t>(data & 0xFFu), bit};
  tdr_.reset();
  sr_ |= USART_SR_TXE;
  updateInterruptLine();

  unsigned dataBits = (cr1_ & USART_CR1_M) != 0 ? 9 : 8;
  Time stopTime = timing_.stopTime;

  for (auto& listener : txStartListeners_) listener(frame);
  // The frame is kept here, not in the callback, which then needs no storage
  // of its own for every character.
  shifting_ = frame;
  transmitter_.send(data, UartFormat{bit, dataBits}, stopTime, [this] {
    const Frame done = shifting_;
    for (auto& listener : txListeners_) listener(done);
    startNextFrame();
  });
}

std::string Usart::deafness() const {
  if ((cr1_ & kReceiverOn) != kReceiverOn) return name_ + " receiver off";
  if (!clocked()) return name_ + " clock stopped";
  if (!rx_.routed()) return name_ + " RX pin not routed to it";
  return {};
}

// Without its clock the port stops shifting: the frame on the line stays where
// it is and goes on when the clock returns.
void Usart::clockGated(bool on) {
  if (on) {
    transmitter_.resume();
  } else {
    transmitter_.pause();
  }
}

UartFormat Usart::receiveFormat() const {
  // Receiver off, its clock stopped, or its pin not routed: the line is not sampled.
  if ((cr1_ & kReceiverOn) != kReceiverOn || !clocked() || !rx_.routed()) return {};
  return UartFormat{bitTime(), (cr1_ & USART_CR1_M) != 0 ? 9u : 8u};
}

void Usart::received(std::uint16_t data, bool framingError) {
  if (framingError) ++framingErrors_;
  if ((sr_ & USART_SR_RXNE) != 0) {
    // The previous byte was not taken: the new one is lost.
    sr_ |= USART_SR_ORE;
    ++overruns_;
    srReadSinceError_ = false;
  } else {
    rdr_ = data;
    sr_ |= USART_SR_RXNE;
    if (framingError) {
      sr_ |= USART_SR_FE;
      srReadSinceError_ = false;
    }
  }
  updateInterruptLine();
}

void Usart::updateInterruptLine() {
  bool level = ((cr1_ & USART_CR1_RXNEIE) != 0 && (sr_ & (USART_SR_RXNE | USART_SR_ORE)) != 0) ||
               ((cr1_ & USART_CR1_TXEIE) != 0 && (sr_ & USART_SR_TXE) != 0) ||
               ((cr1_ & USART_CR1_TCIE) != 0 && (sr_ & USART_SR_TC) != 0);
  interrupts_.setLine(irqLine_, level);
}

}  // namespace sim
