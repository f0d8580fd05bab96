#include "serial_endpoint.h"

#include <cmath>

namespace sim {

SerialEndpoint::SerialEndpoint(std::string name, Clock& clock, Usart& usart, std::uint32_t baud)
    : name_(std::move(name)), clock_(clock), usart_(usart), bitTime_(fraction(1, baud)) {
  usart_.onTransmit([this](const Usart::Frame& frame) { fromBoard(frame); });
}

void SerialEndpoint::fromBoard(const Usart::Frame& frame) {
  double ratio = static_cast<double>(frame.bitTime) / static_cast<double>(bitTime_);
  if (std::fabs(ratio - 1.0) > kTolerance) {
    ++framingErrors_;
    for (auto& l : errorListeners_) l(frame.byte);
    return;
  }
  received_.push_back(static_cast<char>(frame.byte));
  for (auto& l : byteListeners_) l(frame.byte);
}

void SerialEndpoint::send(std::string_view bytes) {
  for (char c : bytes) outbox_.push_back({static_cast<std::uint8_t>(c), clock_.now()});
  if (!scheduled_ && !outbox_.empty()) {
    scheduled_ = true;
    Time start = lineBusyUntil_ > clock_.now() ? lineBusyUntil_ : clock_.now();
    headArrival_ = start + 10 * bitTime_;
    clock_.at(headArrival_, [this] { sendNext(); });
  }
}

// Runs when the frame at the head of the outbox has fully arrived at the board.
void SerialEndpoint::sendNext() {
  Outgoing head = outbox_.front();
  outbox_.pop_front();
  lineBusyUntil_ = clock_.now();
  if (!usart_.receive(Usart::Frame{head.byte, bitTime_})) lostListeners_(head.byte, head.sentAt);
  if (!outbox_.empty()) {
    headArrival_ = clock_.now() + 10 * bitTime_;
    clock_.at(headArrival_, [this] { sendNext(); });
  } else {
    scheduled_ = false;
  }
}

Time SerialEndpoint::sendDoneAt() const {
  if (!scheduled_) return lineBusyUntil_ > clock_.now() ? lineBusyUntil_ : clock_.now();
  // The head frame is on its way; the rest follow it back to back.
  return headArrival_ + static_cast<Time>(outbox_.size() - 1) * 10 * bitTime_;
}

}  // namespace sim
