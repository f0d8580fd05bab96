// A USART of the virtual board: baud rate from BRR and the bus clock actually
// running, 8N1 frames timed on the line, the transmit data register and shift
// register (TXE, TC), reception from the line (RXNE, overrun, framing error) and
// the port's interrupt line.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../core/bus.h"
#include "../core/clock.h"
#include "../core/interrupt_controller.h"

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

  // Bit time of this port now (BRR / bus clock); 0 when BRR is 0.
  Time bitTime() const;
  bool enabled() const;

  // A frame leaves the TX pin; called when its stop bit has been sent.
  void onTransmit(std::function<void(const Frame&)> listener) { txListeners_.push_back(std::move(listener)); }
  // Called when a frame starts on the TX pin (for pin-level traces).
  void onTransmitStart(std::function<void(const Frame&)> listener) { txStartListeners_.push_back(std::move(listener)); }

  // A whole frame has arrived on the RX pin, sent at `frame.bitTime` per bit.
  // Lost when the receiver is off; framing error when the rates differ by more
  // than the receiver tolerates; overrun when RXNE is still set. False when
  // the receiver was off and the frame went unsampled.
  bool receive(const Frame& frame);

  // Counters for tests and reports.
  std::uint64_t overruns() const { return overruns_; }
  std::uint64_t framingErrors() const { return framingErrors_; }

 private:
  void startNextFrame();
  void updateInterruptLine();

  std::string name_;
  Clock& clock_;
  InterruptController& interrupts_;
  int irqLine_;
  BusClock busHz_;
  std::uint16_t sr_;
  std::uint16_t rdr_ = 0;            // received data
  std::optional<std::uint8_t> tdr_;  // transmit data register, empty when nullopt
  bool shifting_ = false;
  std::uint16_t brr_ = 0, cr1_ = 0, cr2_ = 0, cr3_ = 0, gtpr_ = 0;
  bool srReadSinceError_ = false;  // first half of the SR-then-DR clearing sequence
  Clock::EventId txEvent_ = 0;
  std::uint64_t overruns_ = 0, framingErrors_ = 0;
  std::vector<std::function<void(const Frame&)>> txListeners_;
  std::vector<std::function<void(const Frame&)>> txStartListeners_;
};

}  // namespace sim
