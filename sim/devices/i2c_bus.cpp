#include "i2c_bus.h"

#include <algorithm>

namespace sim {

const char* i2cEndName(I2cTransaction::End end) {
  switch (end) {
    case I2cTransaction::End::Stop:
      return "STOP";
    case I2cTransaction::End::RepeatedStart:
      return "repeated-START";
    case I2cTransaction::End::ArbitrationLost:
      return "arbitration-lost";
    case I2cTransaction::End::Abandoned:
      return "abandoned";
    case I2cTransaction::End::Open:
      return "open";
  }
  return "?";
}

namespace {
// Index of the first 1 bit of a byte as sent (most significant first), or -1.
int firstOne(std::uint8_t byte) {
  for (int bit = 0; bit < 8; ++bit) {
    if ((byte >> (7 - bit)) & 1u) return bit;
  }
  return -1;
}
bool bitOf(std::uint8_t byte, int bit) { return ((byte >> (7 - bit)) & 1u) != 0; }
// Bits the other master goes on clocking after it has won the bus, before its STOP.
constexpr std::uint64_t kOtherMasterBits = 18;
}  // namespace

Time I2cBitTiming::highEnd(Time released, Time risen) const {
  const Time seen = risen + seenAfter;
  if (seen <= released + riseCheck) return std::max(released + high, risen);
  return seen + (high > riseCheck ? high - riseCheck : 0);
}

I2cBus::I2cBus(std::string name, Clock& clock, Net& scl, Net& sda)
    : name_(std::move(name)),
      clock_(clock),
      scl_(scl),
      sda_(sda),
      ownScl_(scl_, name_ + " master"),
      ownSda_(sda_, name_ + " master"),
      otherScl_(scl_, "another master"),
      otherSda_(sda_, "another master") {
  sclWatch_ = scl_.onChange([this](Level level) { sclChanged(level); });
  sdaWatch_ = sda_.onChange([this](Level level) { sdaChanged(level); });
}

I2cBus::~I2cBus() {
  for (Clock::EventId id : {event_, stepEvent_, otherEvent_, glitchEvent_, resumeEvent_}) clock_.cancel(id);
  for (auto& slot : slots_) clock_.cancel(slot->stretchEnd);
  sclWatch_.reset();
  sdaWatch_.reset();
}

void I2cBus::setMasterPins(PinFunction* scl, PinFunction* sda) {
  pinScl_ = scl;
  pinSda_ = sda;
}

void I2cBus::masterScl(bool low) {
  if (pinScl_ != nullptr) {
    pinScl_->set(low ? Drive::Low : Drive::High);
  } else {
    ownScl_.set(low ? Drive::Low : Drive::None);
  }
}

void I2cBus::masterSda(bool low) {
  if (pinSda_ != nullptr) {
    pinSda_->set(low ? Drive::Low : Drive::High);
  } else {
    ownSda_.set(low ? Drive::Low : Drive::None);
  }
}

void I2cBus::attach(I2cTarget& target) {
  auto slot = std::make_unique<Slot>();
  slot->target = &target;
  slot->scl = std::make_unique<NetDriver>(scl_, target.name());
  slot->sda = std::make_unique<NetDriver>(sda_, target.name());
  slots_.push_back(std::move(slot));
}

void I2cBus::detach(I2cTarget& target) {
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if ((*it)->target != &target) continue;
    if (active_ == it->get()) active_ = nullptr;
    if (ackSlot_ == it->get()) ackSlot_ = nullptr;
    clock_.cancel((*it)->stretchEnd);
    slots_.erase(it);
    return;
  }
}

I2cBus::Slot* I2cBus::slotFor(std::uint8_t address) {
  for (auto& slot : slots_) {
    if (slot->target->address() == address) return slot.get();
  }
  return nullptr;
}

void I2cBus::setFault(std::uint8_t address, I2cFault fault) { faults_[address] = fault; }

void I2cBus::clearFaults() {
  faults_.clear();
  for (auto& slot : slots_) {
    if (slot->holdingScl) {
      slot->holdingScl = false;
      slot->scl->set(Drive::None);
    }
    if (slot->holdingSda) {
      slot->holdingSda = false;
      slot->sda->set(Drive::None);
    }
  }
}

std::optional<I2cFault> I2cBus::fault(std::uint8_t address) const {
  auto it = faults_.find(address);
  if (it == faults_.end()) return std::nullopt;
  return it->second;
}

bool I2cBus::busy() const { return mastering_ || scl_.level() == Level::Low || sda_.level() == Level::Low; }

void I2cBus::schedule(Time delay, std::function<void()> action) {
  if (stepEvent_ != 0) {
    // A step already pending keeps its own action.
    event_ = clock_.after(delay, [this, action = std::move(action)] {
      event_ = 0;
      action();
    });
    return;
  }
  // The usual case, one step at a time: the action waits here, and the event
  // itself carries nothing but the bus (no allocation per bit).
  step_ = std::move(action);
  event_ = stepEvent_ = clock_.after(delay, [this] {
    event_ = 0;
    stepEvent_ = 0;
    std::function<void()> next = std::move(step_);
    step_ = nullptr;
    next();
  });
}

// The master lets SCL go; a chip holding it low keeps the bit waiting.
void I2cBus::releaseSclThen(std::function<void()> next) {
  sclReleased_ = clock_.now();
  masterScl(false);
  if (scl_.level() == Level::High) {
    next();
  } else {
    onSclHigh_ = std::move(next);
  }
}

Time I2cBus::highLeft() const { return timing_.highEnd(sclReleased_, clock_.now()) - clock_.now(); }

void I2cBus::sclChanged(Level level) {
  if (level == Level::High && onSclHigh_) {
    auto next = std::move(onSclHigh_);
    onSclHigh_ = nullptr;
    next();
  }
  resumeWaitingStart();
}

void I2cBus::sdaChanged(Level level) {
  if (scl_.level() == Level::High) conditionSeen(level == Level::Low);
  resumeWaitingStart();
}

// SDA changed while SCL was high: a START (falling) or a STOP (rising).
void I2cBus::conditionSeen(bool start) {
  if (!expectCondition_ && (op_ == Op::Write || op_ == Op::Read) && !corrupted_) {
    // Not where a condition belongs: the chips' receivers start over, the
    // master flags a bus error and carries on with its byte.
    corrupted_ = true;
    if (record_) record_->busError = true;
    busErrors_();
  }
  if (active_ != nullptr) {
    active_->target->stop();
    active_ = nullptr;
  }
  if (!start && onStop_) {
    auto next = std::move(onStop_);
    onStop_ = nullptr;
    next();
  }
}

void I2cBus::resumeWaitingStart() {
  if (!waitingStart_ || busy() || resumeEvent_ != 0) return;
  // The bus must stay free for a bus-free time (one high phase) before a START.
  resumeEvent_ = clock_.after(waitingStart_->first.high, [this] {
    resumeEvent_ = 0;
    if (!waitingStart_ || busy()) return;
    auto waiting = std::move(*waitingStart_);
    waitingStart_.reset();
    start(waiting.first, std::move(waiting.second));
  });
}

void I2cBus::start(I2cBitTiming timing, std::function<void()> done) {
  timing_ = timing;
  if (mastering_) {
    // Repeated START: SDA up while SCL is low, SCL up, then SDA down.
    closeTransaction(I2cTransaction::End::RepeatedStart);
    op_ = Op::Start;
    doneSimple_ = std::move(done);
    masterSda(false);
    schedule(timing_.low, [this] {
      releaseSclThen([this] { schedule(highLeft(), [this] { beginTransaction(); }); });
    });
    return;
  }
  if (busy()) {
    waitingStart_.emplace(timing, std::move(done));
    resumeWaitingStart();
    return;
  }
  op_ = Op::Start;
  doneSimple_ = std::move(done);
  beginTransaction();
}

// SDA falls while SCL is high: the START; SCL follows after the hold time.
void I2cBus::beginTransaction() {
  mastering_ = true;
  record_ = I2cTransaction{};
  record_->start = clock_.now();
  record_->bus = name_;
  dataBytes_ = 0;
  addressByte_ = true;
  expectCondition_ = true;
  masterSda(true);
  expectCondition_ = false;
  schedule(timing_.high, [this] {
    masterScl(true);
    op_ = Op::None;
    auto done = std::move(doneSimple_);
    done();
  });
}

void I2cBus::write(std::uint8_t byte, I2cBitTiming timing, std::function<void(Result)> done) {
  op_ = Op::Write;
  timing_ = timing;
  byte_ = byte;
  sampled_ = 0;
  bit_ = 0;
  corrupted_ = false;
  doneWrite_ = std::move(done);
  ackSlot_ = nullptr;
  arbitrationBit_ = -1;
  glitchBit_ = -1;
  std::uint8_t address = addressByte_ ? static_cast<std::uint8_t>(byte >> 1) : (record_ ? record_->address : 0);
  if (auto f = fault(address)) {
    unsigned number = addressByte_ ? 0 : dataBytes_ + 1;
    if (f->kind == I2cFault::Kind::ArbitrationLost && f->n == number) arbitrationBit_ = firstOne(byte);
    if (f->kind == I2cFault::Kind::BusError && addressByte_) glitchBit_ = firstOne(byte);
  }
  writeBit();
}

// SCL is low: the master puts the next bit on SDA, or lets SDA go for the
// acknowledge, which the addressed chip gives by pulling SDA low.
void I2cBus::writeBit() {
  if (bit_ < 8) {
    masterSda(!bitOf(byte_, bit_));
    if (bit_ == arbitrationBit_) otherSda_.set(Drive::Low);  // the other master sends a 0 here
  } else {
    masterSda(false);
    if (targetAcknowledges() && ackSlot_ != nullptr) ackSlot_->sda->set(Drive::Low);
  }
  schedule(timing_.low, [this] { releaseSclThen([this] { writeSampled(); }); });
}

bool I2cBus::targetAcknowledges() {
  if (addressByte_) {
    // The chips hear what SDA carried, which is what the master sent unless
    // its pins do not reach the wires.
    auto address = static_cast<std::uint8_t>(sampled_ >> 1);
    bool read = (sampled_ & 1u) != 0;
    record_->address = address;
    record_->read = read;
    readDirection_ = read;
    Slot* slot = slotFor(address);
    auto f = fault(address);
    if (slot == nullptr || corrupted_ || (f && f->kind == I2cFault::Kind::Absent)) return false;
    if (!slot->target->start(read)) return false;
    active_ = slot;
    ackSlot_ = slot;
    return true;
  }
  ++dataBytes_;
  if (active_ == nullptr || corrupted_) return false;
  auto f = fault(active_->target->address());
  if (f && f->kind == I2cFault::Kind::NackData && f->n == dataBytes_) return false;
  if (!active_->target->write(sampled_)) return false;
  ackSlot_ = active_;
  return true;
}

// SCL is high: the receivers sample SDA.
void I2cBus::writeSampled() {
  if (bit_ < 8) {
    sampled_ = static_cast<std::uint8_t>((sampled_ << 1) | (sda_.level() == Level::High ? 1u : 0u));
    if (bitOf(byte_, bit_) && sda_.level() == Level::Low) {
      loseArbitration();
      return;
    }
    if (bit_ == glitchBit_) injectGlitch();
    schedule(highLeft(), [this] {
      masterScl(true);
      ++bit_;
      writeBit();
    });
    return;
  }
  bool acknowledged = sda_.level() == Level::Low;
  schedule(highLeft(), [this, acknowledged] {
    masterScl(true);
    finishWrite(acknowledged);
  });
}

void I2cBus::finishWrite(bool acknowledged) {
  if (record_) {
    if (addressByte_) {
      record_->addressAcknowledged = acknowledged;
    } else {
      record_->bytes.push_back({sampled_, acknowledged});
    }
  }
  Slot* slot = ackSlot_;
  if (slot != nullptr && !slot->holdingSda) slot->sda->set(Drive::None);
  if (addressByte_ && slot != nullptr) {
    if (auto f = fault(slot->target->address())) holdLines(*slot, *f);
  }
  addressByte_ = false;
  afterAcknowledge(slot);
  op_ = Op::None;
  auto done = std::move(doneWrite_);
  done(acknowledged ? Result::Acknowledged : Result::NotAcknowledged);
}

void I2cBus::holdLines(Slot& slot, const I2cFault& fault) {
  if (fault.kind == I2cFault::Kind::SdaStuck) {
    slot.holdingSda = true;
    slot.sda->set(Drive::Low);
  } else if (fault.kind == I2cFault::Kind::StretchForever) {
    slot.holdingScl = true;
    clock_.cancel(slot.stretchEnd);
    slot.stretchEnd = 0;
    slot.scl->set(Drive::Low);
  }
}

// After an acknowledge bit the chip may hold SCL low while it works.
void I2cBus::afterAcknowledge(Slot* slot) {
  if (slot == nullptr || slot->holdingScl) return;
  Time hold = slot->target->stretch(clock_.now());
  if (hold == 0) return;
  clock_.cancel(slot->stretchEnd);
  slot->scl->set(Drive::Low);
  slot->stretchEnd = clock_.after(hold, [slot] {
    slot->stretchEnd = 0;
    if (!slot->holdingScl) slot->scl->set(Drive::None);
  });
}

// A glitch on SDA while SCL is high: a misplaced START, then a misplaced STOP.
void I2cBus::injectGlitch() {
  Time quarter = timing_.high / 4;
  glitchEvent_ = clock_.after(quarter, [this, quarter] {
    otherSda_.set(Drive::Low);
    glitchEvent_ = clock_.after(quarter, [this] {
      glitchEvent_ = 0;
      otherSda_.set(Drive::None);
    });
  });
}

// The master sent a 1 and reads a 0: the other master has the bus. The master
// lets go; the winner goes on clocking its own transfer, then sends its STOP.
void I2cBus::loseArbitration() {
  masterSda(false);
  masterScl(false);
  mastering_ = false;
  op_ = Op::None;
  if (active_ != nullptr) {
    active_->target->stop();
    active_ = nullptr;
  }
  closeTransaction(I2cTransaction::End::ArbitrationLost);
  Time bit = timing_.bit();
  Time high = timing_.high;
  otherEvent_ = clock_.after(high, [this, bit, high] {
    otherScl_.set(Drive::Low);
    otherEvent_ = clock_.after(bit * kOtherMasterBits, [this, high] {
      otherScl_.set(Drive::None);
      otherEvent_ = clock_.after(high, [this] {
        otherEvent_ = 0;
        otherSda_.set(Drive::None);  // its STOP
      });
    });
  });
  auto done = std::move(doneWrite_);
  done(Result::ArbitrationLost);
}

void I2cBus::read(I2cBitTiming timing, std::function<bool()> acknowledge,
                  std::function<void(std::uint8_t, Result)> done) {
  op_ = Op::Read;
  timing_ = timing;
  bit_ = 0;
  byte_ = 0;
  corrupted_ = false;
  decideAck_ = std::move(acknowledge);
  doneRead_ = std::move(done);
  readBit();
}

// SCL is low: the chip puts its next bit on SDA; at the acknowledge bit the
// master answers.
void I2cBus::readBit() {
  if (bit_ == 0) sending_ = active_ != nullptr ? active_->target->read() : 0xFF;
  if (bit_ < 8) {
    masterSda(false);
    if (active_ != nullptr && !active_->holdingSda) {
      active_->sda->set(bitOf(sending_, bit_) ? Drive::None : Drive::Low);
    }
  } else {
    if (active_ != nullptr && !active_->holdingSda) active_->sda->set(Drive::None);
    masterAck_ = decideAck_();
    masterSda(masterAck_);
  }
  schedule(timing_.low, [this] { releaseSclThen([this] { readSampled(); }); });
}

void I2cBus::readSampled() {
  if (bit_ < 8) {
    byte_ = static_cast<std::uint8_t>((byte_ << 1) | (sda_.level() == Level::High ? 1u : 0u));
    schedule(highLeft(), [this] {
      masterScl(true);
      ++bit_;
      readBit();
    });
    return;
  }
  schedule(highLeft(), [this] {
    masterScl(true);
    finishRead(masterAck_);
  });
}

void I2cBus::finishRead(bool acknowledged) {
  masterSda(false);
  if (record_) record_->bytes.push_back({byte_, acknowledged});
  Slot* slot = active_;
  if (slot != nullptr) {
    slot->target->readAcknowledged(acknowledged);
    if (acknowledged) afterAcknowledge(slot);
  }
  op_ = Op::None;
  auto done = std::move(doneRead_);
  done(byte_, acknowledged ? Result::Acknowledged : Result::NotAcknowledged);
}

// SDA low while SCL is low, SCL up, then SDA up: the STOP. A chip holding SDA
// low keeps it from appearing.
void I2cBus::stop(I2cBitTiming timing, std::function<void()> done) {
  op_ = Op::Stop;
  timing_ = timing;
  doneSimple_ = std::move(done);
  masterSda(true);
  schedule(timing_.low, [this] {
    releaseSclThen([this] {
      schedule(highLeft(), [this] {
        onStop_ = [this] { finishStop(); };
        expectCondition_ = true;
        masterSda(false);
        expectCondition_ = false;
      });
    });
  });
}

void I2cBus::finishStop() {
  mastering_ = false;
  closeTransaction(I2cTransaction::End::Stop);
  // The master hears of it once the STOP has settled, not from inside the
  // wire's own change.
  schedule(0, [this] {
    op_ = Op::None;
    auto done = std::move(doneSimple_);
    if (done) done();
  });
}

void I2cBus::release() {
  if (event_ == stepEvent_) {
    stepEvent_ = 0;
    step_ = nullptr;
  }
  for (Clock::EventId* id : {&event_, &glitchEvent_, &resumeEvent_}) {
    clock_.cancel(*id);
    *id = 0;
  }
  onSclHigh_ = nullptr;
  onStop_ = nullptr;
  doneSimple_ = nullptr;
  doneWrite_ = nullptr;
  doneRead_ = nullptr;
  waitingStart_.reset();
  op_ = Op::None;
  bool was = mastering_;
  mastering_ = false;
  if (was) closeTransaction(I2cTransaction::End::Abandoned);
  // SCL first: an SDA the master held low then rises with SCL high, a STOP
  // the chips understand.
  masterScl(false);
  masterSda(false);
}

void I2cBus::closeTransaction(I2cTransaction::End end) {
  if (!record_) return;
  record_->end = end;
  I2cTransaction done = std::move(*record_);
  record_.reset();
  transactions_(done);
}

}  // namespace sim
