// An I2C bus of the board: the SCL and SDA wires with their external pull-up
// resistors, the one master on it (the chip's I2C peripheral) and the chips
// (targets) joined to it by their 7-bit addresses.
//
// The master asks for a START, a byte written, a byte read, a STOP; the bus
// carries each out bit by bit on the two open-drain nets, with the master's bit
// timing: the master pulls SCL low and lets it go, a target that holds SCL low
// stretches the clock, the master samples SDA while SCL is high. A START or STOP
// that appears in the middle of a byte is a bus error; a master that sends a 1
// and finds SDA low has lost arbitration. Every transaction is announced when
// it ends, for logs and tests.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../core/clock.h"
#include "../core/listeners.h"
#include "../core/net.h"
#include "../core/pin_function.h"
#include "i2c_faults.h"
#include "i2c_target.h"

namespace sim {

// Time SCL spends low and high in one bit, as the master clocks it.
//
// The master counts the high time from the moment it lets SCL go. At
// `riseCheck` after that it looks at SCL as its input shows it, `seenAfter`
// after the line is high on the wire (the rise through the pull-ups and the
// input's synchronisation): seen high by then, the count goes on; not yet (a
// slow rise, or a chip stretching the clock), the count stops until SCL is
// seen high and then runs out the rest. Both zero: the high time counts from
// the moment SCL is high on the wire.
struct I2cBitTiming {
  Time low = 0;
  Time high = 0;
  Time riseCheck = 0;
  Time seenAfter = 0;
  Time bit() const { return low + high; }
  // When the high phase ends, for SCL let go at `released` and high on the
  // wire at `risen`.
  Time highEnd(Time released, Time risen) const;
};

// One transaction as it went over the bus.
struct I2cTransaction {
  // Open: the run ended while the transaction still held the bus.
  enum class End : std::uint8_t { Stop, RepeatedStart, ArbitrationLost, Abandoned, Open };
  struct Byte {
    std::uint8_t value;
    bool acknowledged;
  };
  Time start = 0;  // virtual time of its START
  std::string bus;
  std::uint8_t address = 0;  // 7-bit
  bool read = false;
  bool addressAcknowledged = false;
  std::vector<Byte> bytes;
  bool busError = false;  // a misplaced START or STOP was seen during it
  End end = End::Stop;
};

const char* i2cEndName(I2cTransaction::End end);

class I2cBus {
 public:
  // What became of a byte the master wrote or read.
  enum class Result : std::uint8_t { Acknowledged, NotAcknowledged, ArbitrationLost };

  // `scl` and `sda`: the bus's wires, with their pull-ups, owned by the board.
  I2cBus(std::string name, Clock& clock, Net& scl, Net& sda);
  ~I2cBus();
  I2cBus(const I2cBus&) = delete;
  I2cBus& operator=(const I2cBus&) = delete;

  const std::string& name() const { return name_; }
  Net& scl() { return scl_; }
  Net& sda() { return sda_; }
  // The master reaches the wires through its pins' alternate function (High:
  // let go, the pin's open drain makes it so). Without pins it has drivers of
  // its own on the nets.
  void setMasterPins(PinFunction* scl, PinFunction* sda);

  // Joins a chip to the bus; it must stay alive until detached or the bus goes.
  void attach(I2cTarget& target);
  void detach(I2cTarget& target);

  void setFault(std::uint8_t address, I2cFault fault);
  // Ends every fault; a chip holding a line lets go of it.
  void clearFaults();
  std::optional<I2cFault> fault(std::uint8_t address) const;

  // ---- the master's side. Each operation ends later, through its callback.
  // A START, or a repeated START while the master owns the bus. With the bus
  // busy (another master, a line held low) it waits until the bus is free.
  void start(I2cBitTiming timing, std::function<void()> done);
  // The first byte after a START is the address byte.
  void write(std::uint8_t byte, I2cBitTiming timing, std::function<void(Result)> done);
  // `acknowledge` is asked at the acknowledge bit: true to acknowledge the byte.
  void read(I2cBitTiming timing, std::function<bool()> acknowledge, std::function<void(std::uint8_t, Result)> done);
  // A STOP; it waits while a chip holds SDA low.
  void stop(I2cBitTiming timing, std::function<void()> done);
  // The master lets go of both lines at once and forgets what it was doing
  // (peripheral disabled or reset).
  void release();
  // A START was made or a line is low, and no STOP has freed the bus since.
  bool busy() const;
  // Time SCL takes to rise to the inputs' high threshold once let go, set by
  // the pull-up resistors and the capacitance of the chips and wires: the
  // board's bus is at the fast-mode limit of 300 ns, the rise time the
  // firmware's TRISE allows for. The wires themselves carry levels only;
  // the master's bit timing takes the rise into account.
  Time sclRiseTime() const { return sclRise_; }
  void setSclRiseTime(Time rise) { sclRise_ = rise; }
  // True while the master's transaction lasts (from its START to its STOP).
  bool mastering() const { return mastering_; }

  // A START or STOP in the middle of a byte.
  [[nodiscard]] Subscription onBusError(std::function<void()> listener) { return busErrors_.add(std::move(listener)); }
  [[nodiscard]] Subscription onTransaction(std::function<void(const I2cTransaction&)> listener) {
    return transactions_.add(std::move(listener));
  }
  // The transaction in progress, if any: begun with its START, not yet ended.
  const std::optional<I2cTransaction>& transactionInProgress() const { return record_; }

 private:
  struct Slot {
    I2cTarget* target;
    std::unique_ptr<NetDriver> scl, sda;
    Clock::EventId stretchEnd = 0;
    bool holdingScl = false, holdingSda = false;  // a stuck chip (fault)
  };
  enum class Op : std::uint8_t { None, Start, Write, Read, Stop };

  Slot* slotFor(std::uint8_t address);
  void schedule(Time delay, std::function<void()> action);
  void releaseSclThen(std::function<void()> next);
  // From SCL high on the wire to the end of its high phase.
  Time highLeft() const;
  void sclChanged(Level level);
  void sdaChanged(Level level);
  void conditionSeen(bool start);
  void resumeWaitingStart();
  void writeBit();
  void writeSampled();
  bool targetAcknowledges();
  void finishWrite(bool acknowledged);
  void readBit();
  void readSampled();
  void finishRead(bool acknowledged);
  void afterAcknowledge(Slot* slot);
  void loseArbitration();
  void injectGlitch();
  void beginTransaction();
  void finishStop();
  void closeTransaction(I2cTransaction::End end);
  void holdLines(Slot& slot, const I2cFault& fault);

  void masterScl(bool low);
  void masterSda(bool low);

  std::string name_;
  Clock& clock_;
  Net& scl_;
  Net& sda_;
  NetDriver ownScl_, ownSda_;  // the master's drive when it has no pins
  PinFunction* pinScl_ = nullptr;
  PinFunction* pinSda_ = nullptr;
  NetDriver otherScl_, otherSda_;  // another master on the bus, for arbitration and glitches
  std::vector<std::unique_ptr<Slot>> slots_;
  std::map<std::uint8_t, I2cFault> faults_;
  Subscription sclWatch_, sdaWatch_;

  // The master's operation in progress.
  Op op_ = Op::None;
  I2cBitTiming timing_;
  int bit_ = 0;
  std::uint8_t byte_ = 0;
  std::uint8_t sampled_ = 0;  // the bits of the byte as SDA carried them
  bool addressByte_ = false;
  bool corrupted_ = false;  // a misplaced START or STOP during this byte
  int arbitrationBit_ = -1;
  int glitchBit_ = -1;
  bool masterAck_ = false;
  std::uint8_t sending_ = 0;  // the byte a chip sends in a read
  Slot* ackSlot_ = nullptr;   // the chip that acknowledged the byte in progress
  std::function<void()> doneSimple_;
  std::function<void(Result)> doneWrite_;
  std::function<void(std::uint8_t, Result)> doneRead_;
  std::function<bool()> decideAck_;
  std::function<void()> onSclHigh_;  // the master waits for SCL to rise (stretched clock)
  Time sclReleased_ = 0;             // when the master last let SCL go
  std::function<void()> onStop_;     // the master waits for its STOP to appear on SDA
  Clock::EventId event_ = 0, otherEvent_ = 0, glitchEvent_ = 0;
  // The bus's own step in flight, its event and what it does (see schedule()).
  Clock::EventId stepEvent_ = 0;
  std::function<void()> step_;

  // The transaction in progress.
  bool mastering_ = false;
  bool expectCondition_ = false;  // the master itself changes SDA with SCL high
  Slot* active_ = nullptr;        // the chip that acknowledged its address
  bool readDirection_ = false;
  unsigned dataBytes_ = 0;  // data bytes so far (1 = the first)
  std::optional<I2cTransaction> record_;

  // A START waiting for the bus to become free.
  std::optional<std::pair<I2cBitTiming, std::function<void()>>> waitingStart_;
  Clock::EventId resumeEvent_ = 0;

  Time sclRise_ = fraction(3, 10'000'000);

  Listeners<> busErrors_;
  Listeners<const I2cTransaction&> transactions_;
};

}  // namespace sim
