// The far end of one of the board's serial lines: an operator's terminal on the
// console port, or the ZigBee module's UART. It listens at its own fixed rate
// (115200 bit/s, 8N1) as a real receiver does, so a board sending at a rate off
// by more than a receiver tolerates shows framing errors instead of text; and it
// sends bytes to the board back to back at that rate.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/clock.h"
#include "../core/listeners.h"
#include "../peripherals/usart.h"

namespace sim {

class SerialEndpoint {
 public:
  static constexpr std::uint32_t kDefaultBaud = 115200;
  // Relative bit-rate difference a receiver still samples correctly over a
  // 10-bit frame, leaving margin for the sender's own error.
  static constexpr double kTolerance = 0.03;

  SerialEndpoint(std::string name, Clock& clock, Usart& usart, std::uint32_t baud = kDefaultBaud);

  const std::string& name() const { return name_; }
  // Every byte received intact from the board, raw (CR LF as on the wire).
  const std::string& received() const { return received_; }
  std::uint64_t framingErrors() const { return framingErrors_; }
  void onByte(std::function<void(std::uint8_t)> listener) { byteListeners_.push_back(std::move(listener)); }
  void onFramingError(std::function<void(std::uint8_t)> listener) { errorListeners_.push_back(std::move(listener)); }
  // A byte sent to the board found its receiver off and was lost, as on the
  // board; `sentAt` is when the send() it came from was called.
  [[nodiscard]] Subscription onLost(std::function<void(std::uint8_t byte, Time sentAt)> listener) {
    return lostListeners_.add(std::move(listener));
  }
  const Usart& usart() const { return usart_; }

  // Queues bytes for the board; they go out back to back after whatever is
  // still being sent, the first one starting now if the line is idle.
  void send(std::string_view bytes);
  bool sending() const { return !outbox_.empty() || lineBusyUntil_ > clock_.now(); }
  // Virtual time at which everything queued so far has arrived at the board.
  Time sendDoneAt() const;
  Time bitTime() const { return bitTime_; }

 private:
  void fromBoard(const Usart::Frame& frame);
  void sendNext();

  std::string name_;
  Clock& clock_;
  Usart& usart_;
  Time bitTime_;
  std::string received_;
  std::uint64_t framingErrors_ = 0;
  struct Outgoing {
    std::uint8_t byte;
    Time sentAt;
  };
  std::deque<Outgoing> outbox_;
  Time lineBusyUntil_ = 0;  // arrival of the last frame sent
  Time headArrival_ = 0;    // arrival of the frame at the head of the outbox
  bool scheduled_ = false;
  std::vector<std::function<void(std::uint8_t)>> byteListeners_;
  std::vector<std::function<void(std::uint8_t)>> errorListeners_;
  Listeners<std::uint8_t, Time> lostListeners_;
};

}  // namespace sim
