// An I2C peripheral of the virtual board (I2C1, I2C2) as bus master.
//
// Registers CR1, CR2, OAR1, OAR2, DR, SR1, SR2, CCR, TRISE with the chip's
// behaviour: START and STOP requested by software and cleared by the hardware
// once on the bus; SB, ADDR, BTF, TXE, RXNE, STOPF and the error flags set by
// what happens on the wires and cleared by the chip's own sequences (SB: SR1
// read then DR write; ADDR: SR1 read then SR2 read; BTF: SR1 read then DR read
// or write; STOPF: SR1 read then CR1 write; TXE: DR write; RXNE: DR read; the
// error flags: written 0). The receiver acknowledges by ACK and POS, holds a
// second byte in its shift register with BTF, and sends the NACK and STOP
// where software asked for them. Event and error interrupt lines follow the
// flags and the enables in CR2. Bit timing comes from CCR, TRISE and the bus
// clock; the bytes themselves travel through the I2cBus. Clearing PE during a
// communication disables the peripheral only once that communication has
// ended; BUSY follows the bus whether PE is set or not.
//
// The peripheral answers as a target only to nothing: no other master on this
// board addresses it (its own address registers are kept).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "../core/bus.h"
#include "../core/clock.h"
#include "../core/interrupt_controller.h"
#include "../devices/i2c_bus.h"
#include "../core/pin_function.h"

namespace sim {

class I2cPeripheral : public Peripheral {
 public:
  using BusClock = std::function<std::uint32_t()>;
  using Warning = std::function<void(const std::string&)>;

  struct Lines {
    int event;
    int error;
  };

  I2cPeripheral(std::string name, InterruptController& interrupts, Lines lines, BusClock busHz,
                I2cBus& bus, Warning warn = {});
  ~I2cPeripheral() override;

  std::string name() const override { return name_; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  void reset() override;
  // SR1, SR2 and CR1, the registers wait loops poll, change only in the bus's
  // scheduled events (bit timing, a chip's stretch ending, a START or STOP on
  // the wires) and in the firmware's own accesses.
  bool steadyRead(std::uint32_t offset) const override;

  // Register value by offset (0x00 CR1 .. 0x20 TRISE), without side effects.
  std::uint16_t reg(std::uint32_t offset) const;
  // SCL low and high time of one bit as programmed now; zero when CCR is 0.
  I2cBitTiming bitTiming() const;
  I2cBus& bus() { return bus_; }
  // SCL and SDA as alternate functions of their pins (open drain on the board).
  PinFunction& sclPin() { return sclPin_; }
  PinFunction& sdaPin() { return sdaPin_; }

  // Every register access, after it took effect: offset, true for a write, and
  // the value read or written (register traces, tests).
  using AccessListener = std::function<void(std::uint32_t, bool, std::uint16_t)>;
  [[nodiscard]] Subscription onAccess(AccessListener listener) { return accesses_.add(std::move(listener)); }

 private:
  enum class Phase : std::uint8_t {
    Idle,         // not master
    Starting,     // START (or repeated START) on its way
    Address,      // SB set: waiting for the address in DR
    Addressing,   // address byte on the bus
    AddressDone,  // ADDR set (or address not acknowledged)
    Data,         // bytes moving
  };

  bool enabled() const;
  // A START, byte or STOP on its way, or the master still owning the bus.
  bool communicating() const;
  void writeRegister(std::uint32_t slot, std::uint16_t value);
  void writeCr1(std::uint16_t value);
  void writeDr(std::uint8_t value);
  std::uint8_t readDr();
  void requestStart();
  void startDone();
  void addressDone(I2cBus::Result result);
  void addressCleared();
  void sendByte(std::uint8_t byte);
  void sent(I2cBus::Result result);
  // After an address or data byte: arbitration lost or no acknowledge ends
  // the transfer there (true); the flags and lines are then up to date.
  bool endedByBus(I2cBus::Result result);
  // The byte software wrote to DR while the shift register was busy goes out
  // now (DR empty again); false when there is none.
  bool sendWaitingByte();
  void receiveByte();
  void received(std::uint8_t byte, I2cBus::Result result);
  // The byte engine is idle: STOP or repeated START if software asked.
  bool serveStopOrStart();
  void generateStop();
  void stopDone();
  void arbitrationLost();
  void abandon();
  void disable();
  void clearFlags(std::uint16_t flags);
  void checkRange();
  void updateLines();

  std::string name_;
  InterruptController& interrupts_;
  Lines lines_;
  BusClock busHz_;
  I2cBus& bus_;
  PinFunction sclPin_, sdaPin_;
  Warning warn_;
  Subscription busErrors_;
  Listeners<std::uint32_t, bool, std::uint16_t> accesses_;

  std::uint16_t cr1_ = 0, cr2_ = 0, oar1_ = 0, oar2_ = 0, ccr_ = 0, trise_ = 2;
  std::uint16_t sr1_ = 0;
  std::uint16_t sr1Seen_ = 0;  // flags an SR1 read has shown: the first half of their clearing sequences
  bool msl_ = false, tra_ = false;
  Phase phase_ = Phase::Idle;
  bool engineBusy_ = false;     // a byte, START or STOP in progress on the bus
  bool stopping_ = false;       // STOP on its way
  std::uint8_t rxData_ = 0;     // DR as the receiver filled it
  std::optional<std::uint8_t> txData_;  // DR written, not yet in the shift register
  std::optional<std::uint8_t> held_;    // received byte waiting in the shift register (BTF)
  bool heldAcknowledged_ = false;
  bool lastAcknowledged_ = false;  // the receiver acknowledged its last byte: more follow
  bool ackAtByteStart_ = false;    // ACK when the byte began (POS: it applies to that byte)
  bool warned_ = false;
  bool disablePending_ = false;  // PE cleared during a communication: disabled once it ends
  std::uint64_t generation_ = 0;  // bumped by reset and disable: late bus callbacks are dropped
};

}  // namespace sim
