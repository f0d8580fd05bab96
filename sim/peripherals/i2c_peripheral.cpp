#include "i2c_peripheral.h"

#include <cstddef>
#include <cstdio>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {
constexpr std::uint32_t kCR1 = offsetof(I2C_TypeDef, CR1);
constexpr std::uint32_t kCR2 = offsetof(I2C_TypeDef, CR2);
constexpr std::uint32_t kOAR1 = offsetof(I2C_TypeDef, OAR1);
constexpr std::uint32_t kOAR2 = offsetof(I2C_TypeDef, OAR2);
constexpr std::uint32_t kDR = offsetof(I2C_TypeDef, DR);
constexpr std::uint32_t kSR1 = offsetof(I2C_TypeDef, SR1);
constexpr std::uint32_t kSR2 = offsetof(I2C_TypeDef, SR2);
constexpr std::uint32_t kCCR = offsetof(I2C_TypeDef, CCR);
constexpr std::uint32_t kTRISE = offsetof(I2C_TypeDef, TRISE);

constexpr std::uint16_t kSr2Tra = 0x0004;
constexpr std::uint16_t kEventFlags = I2C_SR1_SB | I2C_SR1_ADDR | I2C_SR1_BTF | I2C_SR1_STOPF;
constexpr std::uint16_t kBufferFlags = I2C_SR1_TXE | I2C_SR1_RXNE;
constexpr std::uint16_t kErrorFlags = I2C_SR1_BERR | I2C_SR1_ARLO | I2C_SR1_AF | I2C_SR1_OVR;
constexpr std::uint16_t kTraseReset = 0x0002;
// Peripheral clock range of the chip, in MHz: fast mode needs at least 4.
constexpr unsigned kMinFreqStandard = 2, kMinFreqFast = 4, kMaxFreq = 32;
// SCL's input is sampled on the bus clock: a level on the wire shows in the
// peripheral on the next edge of PCLK1 and one cycle later.
constexpr std::uint64_t kInputSyncCycles = 1;
}  // namespace

I2cPeripheral::I2cPeripheral(std::string name, InterruptController& interrupts, Lines lines,
                             BusClock busHz, I2cBus& bus, Warning warn)
    : name_(std::move(name)),
      interrupts_(interrupts),
      lines_(lines),
      busHz_(std::move(busHz)),
      bus_(bus),
      sclPin_(name_ + " SCL"),
      sdaPin_(name_ + " SDA"),
      warn_(std::move(warn)) {
  sclPin_.set(Drive::High);
  sdaPin_.set(Drive::High);
  bus_.setMasterPins(&sclPin_, &sdaPin_);
  busErrors_ = bus_.onBusError([this] {
    if (!enabled() || !msl_) return;
    sr1_ |= I2C_SR1_BERR;
    updateLines();
  });
}

I2cPeripheral::~I2cPeripheral() { bus_.setMasterPins(nullptr, nullptr); }

// Enabled while PE is set, and after PE was cleared until the communication
// in progress has ended.
bool I2cPeripheral::enabled() const {
  return ((cr1_ & I2C_CR1_PE) != 0 || disablePending_) && (cr1_ & I2C_CR1_SWRST) == 0;
}

// CCR gives the low and high counts of SCL, each counted from the edge the
// master makes. TRISE is when the master looks whether SCL has really risen
// (see I2cBitTiming): with the firmware's TRISE of 10 at 32 MHz (312.5 ns)
// and the bus's 300 ns rise, SCL shows high only at the 11th cycle, and the
// high phase grows by that one cycle: 79 cycles a bit, about 405 kHz instead
// of the 410 kHz CCR alone gives.
I2cBitTiming I2cPeripheral::bitTiming() const {
  std::uint32_t hz = busHz_ ? busHz_() : 0;
  std::uint32_t ccr = ccr_ & I2C_CCR_CCR;
  if (hz == 0 || ccr == 0) return {};
  I2cBitTiming timing;
  if ((ccr_ & I2C_CCR_FS) == 0) {
    timing = {cyclesToTime(ccr, hz), cyclesToTime(ccr, hz)};
  } else if ((ccr_ & I2C_CCR_DUTY) != 0) {
    timing = {cyclesToTime(16ull * ccr, hz), cyclesToTime(9ull * ccr, hz)};
  } else {
    timing = {cyclesToTime(2ull * ccr, hz), cyclesToTime(ccr, hz)};
  }
  const Time cycle = quantaPerCycle(hz);
  timing.riseCheck = cyclesToTime(trise_ & I2C_TRISE_TRISE, hz);
  timing.seenAfter = cyclesToTime((bus_.sclRiseTime() + cycle - 1) / cycle + kInputSyncCycles, hz);
  return timing;
}

bool I2cPeripheral::communicating() const { return msl_ || engineBusy_ || stopping_ || phase_ != Phase::Idle; }

std::uint16_t I2cPeripheral::reg(std::uint32_t offset) const {
  switch (offset) {
    case kCR1:
      return cr1_;
    case kCR2:
      return cr2_;
    case kOAR1:
      return oar1_;
    case kOAR2:
      return oar2_;
    case kDR:
      return rxData_;
    case kSR1:
      return sr1_;
    case kSR2:
      // BUSY follows the bus also while PE is clear; only a software reset
      // holds it at 0.
      return static_cast<std::uint16_t>((msl_ ? I2C_SR2_MSL : 0) |
                                        ((cr1_ & I2C_CR1_SWRST) == 0 && bus_.busy() ? I2C_SR2_BUSY : 0) |
                                        (tra_ ? kSr2Tra : 0));
    case kCCR:
      return ccr_;
    case kTRISE:
      return trise_;
    default:
      return 0;
  }
}

std::uint32_t I2cPeripheral::read(std::uint32_t offset, unsigned width) {
  std::uint32_t slot = offset & ~3u;
  if (slot > kTRISE || (offset & 3u) >= 2) return 0;  // reserved; upper halves read 0
  std::uint16_t value = 0;
  switch (slot) {
    case kSR1:
      value = sr1_;
      sr1Seen_ = static_cast<std::uint16_t>(sr1_ & kEventFlags);
      break;
    case kSR2:
      value = reg(kSR2);
      // SR1 read, then SR2 read: ADDR clears, and the transfer goes on.
      if ((sr1_ & I2C_SR1_ADDR) != 0 && (sr1Seen_ & I2C_SR1_ADDR) != 0) {
        clearFlags(I2C_SR1_ADDR);
        addressCleared();
        updateLines();
      }
      break;
    case kDR:
      value = readDr();
      break;
    default:
      value = reg(slot);
      break;
  }
  if (!accesses_.empty()) accesses_(slot, false, value);
  return slotPart(value, offset, width);
}

bool I2cPeripheral::steadyRead(std::uint32_t offset) const {
  // Whoever follows every access (a register trace) would miss the polls let
  // pass at once.
  if (!accesses_.empty()) return false;
  switch (offset & ~3u) {
    case kSR1:
      // The read shows the flags it returns as the first half of their
      // clearing sequences: the same value read again shows the same.
      return true;
    case kSR2:
      // After SR1 showed ADDR the next SR2 read clears it: only the reads
      // after that one are alike.
      return (sr1_ & I2C_SR1_ADDR) == 0 || (sr1Seen_ & I2C_SR1_ADDR) == 0;
    case kCR1:
      // START and STOP are cleared by the hardware once on the wires.
      return true;
    default:
      // DR reads move bytes; the others are never polled.
      return false;
  }
}

void I2cPeripheral::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  std::uint32_t slot = offset & ~3u;
  if (slot > kTRISE || (offset & 3u) >= 2) return;
  auto merged = static_cast<std::uint16_t>(slotMerge(reg(slot), offset, width, value) & 0xFFFFu);
  writeRegister(slot, merged);
  if (!accesses_.empty()) accesses_(slot, true, merged);
}

void I2cPeripheral::writeRegister(std::uint32_t slot, std::uint16_t merged) {
  if (slot == kCR1) {
    writeCr1(merged);
    return;
  }
  if ((cr1_ & I2C_CR1_SWRST) != 0) return;  // held in reset
  switch (slot) {
    case kCR2:
      cr2_ = static_cast<std::uint16_t>(merged & 0x1F3Fu);
      updateLines();
      break;
    case kOAR1:
      oar1_ = merged;
      break;
    case kOAR2:
      oar2_ = static_cast<std::uint16_t>(merged & 0x00FFu);
      break;
    case kDR:
      writeDr(static_cast<std::uint8_t>(merged & 0xFFu));
      break;
    case kSR1: {
      // Error flags clear when written 0; writing 1 leaves them, the rest is read-only.
      auto cleared = static_cast<std::uint16_t>(kErrorFlags & ~merged);
      sr1_ = static_cast<std::uint16_t>(sr1_ & ~cleared);
      updateLines();
      break;
    }
    case kCCR:
      // The clock control and rise time registers take writes only while the
      // peripheral is disabled.
      if (!enabled()) ccr_ = static_cast<std::uint16_t>(merged & 0xCFFFu);
      break;
    case kTRISE:
      if (!enabled()) trise_ = static_cast<std::uint16_t>(merged & I2C_TRISE_TRISE);
      break;
    default:
      break;
  }
}

void I2cPeripheral::writeCr1(std::uint16_t value) {
  if ((value & I2C_CR1_SWRST) != 0) {
    reset();
    cr1_ = I2C_CR1_SWRST;
    return;
  }
  const std::uint16_t before = cr1_;
  cr1_ = value;
  // SR1 read, then a CR1 write: STOPF clears.
  if ((sr1Seen_ & I2C_SR1_STOPF) != 0) clearFlags(I2C_SR1_STOPF);
  if ((value & I2C_CR1_PE) != 0) {
    disablePending_ = false;
  } else if ((before & I2C_CR1_PE) != 0 || disablePending_) {
    // PE cleared: the peripheral finishes the communication in progress
    // (the bytes asked for, the STOP or START software requests) and only
    // then goes idle and disabled.
    disablePending_ = communicating();
    if (!disablePending_) {
      disable();
      return;
    }
  }
  if ((before & I2C_CR1_PE) == 0 && (value & I2C_CR1_PE) != 0) checkRange();
  if (!enabled()) {
    cr1_ = static_cast<std::uint16_t>(cr1_ & ~(I2C_CR1_START | I2C_CR1_STOP));
    return;
  }
  if ((value & I2C_CR1_STOP) != 0 && (before & I2C_CR1_STOP) == 0) {
    // Outside master mode the bit waits for a STOP to be seen on the bus.
    if (msl_ && !engineBusy_ && !((sr1_ & I2C_SR1_ADDR) != 0 && !tra_)) {
      // A receiver whose ADDR is still set gets its byte first.
      generateStop();
    }
  }
  if ((value & I2C_CR1_START) != 0 && (before & I2C_CR1_START) == 0) requestStart();
  updateLines();
}

void I2cPeripheral::requestStart() {
  checkRange();
  if (engineBusy_ || stopping_) return;  // after the byte or STOP in progress
  if (msl_ && (sr1_ & I2C_SR1_ADDR) != 0) return;
  I2cBitTiming timing = bitTiming();
  if (timing.low == 0) throw Stop(StopKind::Fault, name_ + ": START requested with CCR 0 (no bus clock)");
  phase_ = Phase::Starting;
  engineBusy_ = true;
  std::uint64_t gen = generation_;
  bus_.start(timing, [this, gen] {
    if (gen == generation_) startDone();
  });
}

void I2cPeripheral::startDone() {
  engineBusy_ = false;
  msl_ = true;
  tra_ = false;
  txData_.reset();
  held_.reset();
  sr1_ = static_cast<std::uint16_t>((sr1_ & ~(I2C_SR1_TXE | I2C_SR1_BTF | I2C_SR1_RXNE)) | I2C_SR1_SB);
  cr1_ = static_cast<std::uint16_t>(cr1_ & ~I2C_CR1_START);
  phase_ = Phase::Address;
  updateLines();
}

void I2cPeripheral::writeDr(std::uint8_t value) {
  if (!enabled()) return;
  if ((sr1_ & I2C_SR1_SB) != 0) {
    // The address goes out only after SR1 was read with SB set: SR1 read, then DR write.
    if ((sr1Seen_ & I2C_SR1_SB) == 0) return;
    clearFlags(I2C_SR1_SB);
    tra_ = (value & 1u) == 0;
    phase_ = Phase::Addressing;
    engineBusy_ = true;
    std::uint64_t gen = generation_;
    bus_.write(value, bitTiming(), [this, gen](I2cBus::Result result) {
      if (gen == generation_) addressDone(result);
    });
    updateLines();
    return;
  }
  if ((msl_ && !tra_) || (sr1_ & I2C_SR1_RXNE) != 0) {
    // In receive mode DR holds the received byte: a write neither replaces
    // it nor clears RXNE.
    return;
  }
  if (!msl_) {
    rxData_ = value;
    return;
  }
  if ((sr1_ & I2C_SR1_BTF) != 0 && (sr1Seen_ & I2C_SR1_BTF) != 0) clearFlags(I2C_SR1_BTF);
  if (phase_ == Phase::Data && !engineBusy_ && !stopping_ && (sr1_ & I2C_SR1_AF) == 0) {
    // Straight into the shift register: DR is empty again at once.
    sendByte(value);
  } else {
    txData_ = value;
    sr1_ = static_cast<std::uint16_t>(sr1_ & ~I2C_SR1_TXE);
  }
  updateLines();
}

std::uint8_t I2cPeripheral::readDr() {
  std::uint8_t value = rxData_;
  if (!enabled()) return value;
  sr1_ = static_cast<std::uint16_t>(sr1_ & ~I2C_SR1_RXNE);
  if ((sr1_ & I2C_SR1_BTF) != 0 && (sr1Seen_ & I2C_SR1_BTF) != 0) clearFlags(I2C_SR1_BTF);
  if (held_) {
    // The byte waiting in the shift register moves up; the clock goes again.
    rxData_ = *held_;
    held_.reset();
    sr1_ |= I2C_SR1_RXNE;
    lastAcknowledged_ = heldAcknowledged_;
    if (!engineBusy_ && !serveStopOrStart() && heldAcknowledged_ && msl_) receiveByte();
  }
  updateLines();
  return value;
}

void I2cPeripheral::addressDone(I2cBus::Result result) {
  engineBusy_ = false;
  phase_ = Phase::AddressDone;
  if (endedByBus(result)) return;
  sr1_ |= I2C_SR1_ADDR;
  if (tra_) sr1_ |= I2C_SR1_TXE;
  updateLines();
}

void I2cPeripheral::addressCleared() {
  phase_ = Phase::Data;
  if (tra_) {
    if (serveStopOrStart()) return;
    sendWaitingByte();
    updateLines();
    return;
  }
  receiveByte();
}

void I2cPeripheral::sendByte(std::uint8_t byte) {
  engineBusy_ = true;
  std::uint64_t gen = generation_;
  bus_.write(byte, bitTiming(), [this, gen](I2cBus::Result result) {
    if (gen == generation_) sent(result);
  });
}

void I2cPeripheral::sent(I2cBus::Result result) {
  engineBusy_ = false;
  if (endedByBus(result)) return;
  if (!serveStopOrStart() && !sendWaitingByte()) {
    sr1_ |= I2C_SR1_BTF;  // nothing to send: the clock is held low
  }
  updateLines();
}

bool I2cPeripheral::endedByBus(I2cBus::Result result) {
  if (result == I2cBus::Result::ArbitrationLost) {
    arbitrationLost();
    return true;
  }
  if (result == I2cBus::Result::NotAcknowledged) {
    sr1_ |= I2C_SR1_AF;
    serveStopOrStart();
    updateLines();
    return true;
  }
  return false;
}

bool I2cPeripheral::sendWaitingByte() {
  if (!txData_) return false;
  std::uint8_t byte = *txData_;
  txData_.reset();
  sr1_ |= I2C_SR1_TXE;
  sendByte(byte);
  return true;
}

void I2cPeripheral::receiveByte() {
  engineBusy_ = true;
  ackAtByteStart_ = (cr1_ & I2C_CR1_ACK) != 0;
  std::uint64_t gen = generation_;
  bus_.read(
      bitTiming(),
      [this] {
        // With POS the ACK bit was meant for this byte when it began.
        if ((cr1_ & I2C_CR1_POS) != 0) return ackAtByteStart_;
        return (cr1_ & I2C_CR1_ACK) != 0;
      },
      [this, gen](std::uint8_t byte, I2cBus::Result result) {
        if (gen == generation_) received(byte, result);
      });
}

void I2cPeripheral::received(std::uint8_t byte, I2cBus::Result result) {
  engineBusy_ = false;
  bool acknowledged = result == I2cBus::Result::Acknowledged;
  if ((sr1_ & I2C_SR1_RXNE) == 0) {
    rxData_ = byte;
    sr1_ |= I2C_SR1_RXNE;
    lastAcknowledged_ = acknowledged;
    if (!serveStopOrStart() && acknowledged) receiveByte();
  } else {
    // DR still full: the byte waits in the shift register, the clock held low.
    held_ = byte;
    heldAcknowledged_ = acknowledged;
    sr1_ |= I2C_SR1_BTF;
    serveStopOrStart();
  }
  updateLines();
}

bool I2cPeripheral::serveStopOrStart() {
  if (!msl_ || engineBusy_) return false;
  if ((cr1_ & I2C_CR1_STOP) != 0) {
    generateStop();
    return true;
  }
  if ((cr1_ & I2C_CR1_START) != 0) {
    requestStart();
    return true;
  }
  return false;
}

void I2cPeripheral::generateStop() {
  stopping_ = true;
  engineBusy_ = true;
  std::uint64_t gen = generation_;
  bus_.stop(bitTiming(), [this, gen] {
    if (gen == generation_) stopDone();
  });
}

void I2cPeripheral::stopDone() {
  engineBusy_ = false;
  stopping_ = false;
  msl_ = false;
  tra_ = false;
  txData_.reset();
  phase_ = Phase::Idle;
  sr1_ = static_cast<std::uint16_t>(sr1_ & ~(I2C_SR1_TXE | I2C_SR1_BTF));
  cr1_ = static_cast<std::uint16_t>(cr1_ & ~I2C_CR1_STOP);
  if (disablePending_) {
    disable();
    return;
  }
  if ((cr1_ & I2C_CR1_START) != 0) requestStart();
  updateLines();
}

// Another master won the bus: back to slave mode, lines released.
void I2cPeripheral::arbitrationLost() {
  sr1_ = static_cast<std::uint16_t>((sr1_ & ~(I2C_SR1_TXE | I2C_SR1_BTF)) | I2C_SR1_ARLO);
  msl_ = false;
  tra_ = false;
  txData_.reset();
  phase_ = Phase::Idle;
  cr1_ = static_cast<std::uint16_t>(cr1_ & ~I2C_CR1_STOP);
  if (disablePending_) {
    disable();
    return;
  }
  updateLines();
}

// Held in reset mid-transfer: the state machine stops and the lines are let go.
void I2cPeripheral::abandon() {
  bus_.release();
  disable();
}

// PE clear with no communication left: the state machine and the flags go to
// their reset values; the registers software wrote stay.
void I2cPeripheral::disable() {
  ++generation_;
  disablePending_ = false;
  engineBusy_ = false;
  stopping_ = false;
  msl_ = false;
  tra_ = false;
  phase_ = Phase::Idle;
  txData_.reset();
  held_.reset();
  sr1_ = 0;
  sr1Seen_ = 0;
  cr1_ = static_cast<std::uint16_t>(cr1_ & ~(I2C_CR1_START | I2C_CR1_STOP));
  updateLines();
}

void I2cPeripheral::reset() {
  abandon();
  cr1_ = cr2_ = oar1_ = oar2_ = ccr_ = 0;
  trise_ = kTraseReset;
  rxData_ = 0;
  updateLines();
}

void I2cPeripheral::clearFlags(std::uint16_t flags) {
  sr1_ = static_cast<std::uint16_t>(sr1_ & ~flags);
  sr1Seen_ = static_cast<std::uint16_t>(sr1Seen_ & ~flags);
}

// Programmed outside the chip's documented range: said once, the run goes on
// with the timing the registers give.
void I2cPeripheral::checkRange() {
  // Checked once the timing is programmed: enabling before the set-up is fine.
  if (warned_ || (cr1_ & I2C_CR1_PE) == 0 || (ccr_ & I2C_CCR_CCR) == 0) return;
  unsigned freq = cr2_ & I2C_CR2_FREQ;
  bool fast = (ccr_ & I2C_CCR_FS) != 0;
  unsigned minimum = fast ? kMinFreqFast : kMinFreqStandard;
  if (freq >= minimum && freq <= kMaxFreq) return;
  warned_ = true;
  char text[200];
  std::snprintf(text, sizeof text,
                "%s: %s mode with FREQ %u MHz is outside the chip's range (%u to %u MHz); the bus runs with the "
                "timing CCR 0x%04X gives",
                name_.c_str(), fast ? "fast" : "standard", freq, minimum, kMaxFreq, static_cast<unsigned>(ccr_));
  if (warn_) {
    warn_(text);
  } else {
    std::fprintf(stderr, "warning: %s\n", text);
  }
}

void I2cPeripheral::updateLines() {
  bool on = enabled();
  bool event = on && (cr2_ & I2C_CR2_ITEVTEN) != 0 &&
               ((sr1_ & kEventFlags) != 0 || ((cr2_ & I2C_CR2_ITBUFEN) != 0 && (sr1_ & kBufferFlags) != 0));
  bool error = on && (cr2_ & I2C_CR2_ITERREN) != 0 && (sr1_ & kErrorFlags) != 0;
  interrupts_.setLine(lines_.event, event);
  interrupts_.setLine(lines_.error, error);
}

}  // namespace sim
