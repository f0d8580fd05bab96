// A USART of the virtual board: baud rate from BRR and the bus clock actually
// running, the transmit data register and shift register (TXE, TC), reception
// (RXNE, overrun, framing error) and the port's interrupt line.
//
// The USART reaches the world only through its pins. Its TX signal drives the
// TX pin's net bit by bit (idle high while the transmitter is on) and reaches
// the line only while the port routes the pin to it (alternate-function mode
// with the USART's function number); its RX signal samples the RX pin's net at
// the USART's own bit centres, and hears nothing while that pin is not routed.
// The board attaches txPin() and rxPin() to its pins with
// GpioPort::attachFunction.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../core/bus.h"
#include "../core/clock.h"
#include "../core/interrupt_controller.h"
#include "../core/uart_line.h"
#include "../core/pin_function.h"

namespace sim {

class Usart : public Peripheral {
 public:
  // A frame as it travels on a line: the byte and the duration of one bit.
  struct Frame {
    std::uint8_t byte;
    Time bitTime;
  };
  using BusClock = std::function<std::uint32_t()>;

  Usart(std::string name, Clock& clock, InterruptController& interrupts, int irqLine, BusClock busHz);

  std::string name() const override { return name_; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  void reset() override;
  void clockGated(bool on) override;
  // SR: its flags change only by the transmitter's and receiver's scheduled
  // bit times or by the firmware's own accesses.
  bool steadyRead(std::uint32_t offset) const override;

  // Bit time of this port now (BRR / bus clock); 0 when BRR is 0.
  Time bitTime() const;
  bool enabled() const;

  // The USART's signals, for the board to attach to pins.
  PinFunction& txPin() { return tx_; }
  PinFunction& rxPin() { return rx_; }

  // A frame has been shifted out; called when its stop bits end. It reached
  // the line only if the TX pin was routed to the USART meanwhile.
  void onTransmit(std::function<void(const Frame&)> listener) { txListeners_.push_back(std::move(listener)); }
  // Called when a frame starts shifting out.
  void onTransmitStart(std::function<void(const Frame&)> listener) { txStartListeners_.push_back(std::move(listener)); }

  // Why a frame arriving on the RX line now would go unheard ("USART1
  // receiver off"); empty while the receiver listens.
  std::string deafness() const;

  // Counters for tests and reports.
  std::uint64_t overruns() const { return overruns_; }
  std::uint64_t framingErrors() const { return framingErrors_; }

 private:
  void startNextFrame();
  void updateInterruptLine();
  void updateTxLine();
  UartFormat receiveFormat() const;
  void received(std::uint16_t data, bool framingError);

  std::string name_;
  InterruptController& interrupts_;
  int irqLine_;
  BusClock busHz_;
  std::uint16_t sr_;
  std::uint16_t rdr_ = 0;            // received data
  std::optional<std::uint16_t> tdr_;  // transmit data register, empty when nullopt
  std::uint16_t brr_ = 0, cr1_ = 0, cr2_ = 0, cr3_ = 0, gtpr_ = 0;
  bool srReadSinceError_ = false;  // first half of the SR-then-DR-read clearing sequence
  bool srReadSinceTc_ = false;     // first half of the SR-read-then-DR-write sequence clearing TC
  PinFunction tx_;
  PinFunction rx_;
  Frame shifting_{0, 0};  // the frame in the shift register
  // The timing of the last frame sent and what it was worked out from.
  struct Timing {
    std::uint32_t hz = 0;
    std::uint16_t brr = 0, cr1 = 0, stop = 0;
    Time bit = 0, stopTime = 0;
  };
  Timing timing_;
  UartTransmitter transmitter_;
  UartSampler sampler_;
  std::uint64_t overruns_ = 0, framingErrors_ = 0;
  std::vector<std::function<void(const Frame&)>> txListeners_;
  std::vector<std::function<void(const Frame&)>> txStartListeners_;
};

}  // namespace sim
