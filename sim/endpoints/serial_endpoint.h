// The far end of one of the board's serial lines: an operator's terminal on the
// console port, or the ZigBee module's UART. It is wired to two nets: it drives
// the board's RX line with its own output (idle high) and listens to the
// board's TX line through its receiver, which has a pull-up as a USB serial
// adapter's has. It runs at its own fixed rate (115200 bit/s, 8N1) and samples
// what the board sends at its own bit centres, so a board sending at a rate off
// by more than a receiver tolerates shows framing errors instead of text; and it
// sends bytes to the board back to back at that rate.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/clock.h"
#include "../core/listeners.h"
#include "../core/net.h"
#include "../core/uart_line.h"
#include "../peripherals/usart.h"

namespace sim {

class SerialEndpoint {
 public:
  static constexpr std::uint32_t kDefaultBaud = 115200;

  // `toBoard`: the board's RX net, which this end drives; `fromBoard`: the
  // board's TX net, which this end listens to.
  SerialEndpoint(std::string name, Clock& clock, Net& toBoard, Net& fromBoard, std::uint32_t baud = kDefaultBaud);
  // Wired to the nets of the pins `usart`'s RX and TX signals are attached to.
  SerialEndpoint(std::string name, Clock& clock, Usart& usart, std::uint32_t baud = kDefaultBaud);

  const std::string& name() const { return name_; }
  // Every byte received intact from the board, raw (CR LF as on the wire).
  const std::string& received() const { return received_; }
  std::uint64_t framingErrors() const { return framingErrors_; }
  // Listeners for intact bytes and for bytes lost to framing errors; each stays
  // until its Subscription is dropped.
  [[nodiscard]] Subscription onByte(std::function<void(std::uint8_t)> listener) {
    return byteListeners_.add(std::move(listener));
  }
  [[nodiscard]] Subscription onFramingError(std::function<void(std::uint8_t)> listener) {
    return errorListeners_.add(std::move(listener));
  }
  // A byte sent to the board went unheard, as on the board, because the
  // board's receiver was not listening when it arrived; `sentAt` is when the
  // send() it came from was called, `reason` says why ("USART1 receiver off").
  // Known only for an end built on a USART.
  [[nodiscard]] Subscription onLost(std::function<void(std::uint8_t byte, Time sentAt, const std::string& reason)> listener) {
    return lostListeners_.add(std::move(listener));
  }

  // Queues bytes for the board; they go out back to back after whatever is
  // still being sent, the first one starting now if the line is idle. Bytes
  // that arrive while the board's receiver is off are lost, as on the board.
  void send(std::string_view bytes);
  // The same for bytes that came from further away (a radio peer, through a
  // module): `sentAt` is when they were first sent, and with `counted` false
  // (a module's own notices) their loss is nobody's concern.
  void send(std::string_view bytes, Time sentAt, bool counted);
  // When each counted byte not yet at the board was sent (the one on the
  // line first): what a run that ends now leaves undelivered.
  std::vector<Time> undelivered() const;
  bool sending() const { return !outbox_.empty() || transmitter_.busy(); }
  // Virtual time at which everything queued so far has arrived at the board.
  Time sendDoneAt() const;
  Time bitTime() const { return bitTime_; }

 private:
  void fromBoard(std::uint16_t data, bool framingError);
  void sendNext();

  std::string name_;
  Clock& clock_;
  Time bitTime_;
  NetDriver output_;    // on the board's RX line
  NetDriver receiver_;  // the pull-up of this end's receiver, on the board's TX line
  UartTransmitter transmitter_;
  UartSampler sampler_;
  std::string received_;
  std::uint64_t framingErrors_ = 0;
  struct Outgoing {
    std::uint8_t byte;
    Time sentAt;
    bool counted;
  };
  std::deque<Outgoing> outbox_;
  std::optional<Outgoing> onLine_;  // the byte being sent
  const Usart* usart_ = nullptr;  // the board's receiver, when known
  Listeners<std::uint8_t> byteListeners_;
  Listeners<std::uint8_t> errorListeners_;
  Listeners<std::uint8_t, Time, const std::string&> lostListeners_;
};

}  // namespace sim
