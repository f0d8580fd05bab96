#include "serial_endpoint.h"

#include <stdexcept>

namespace sim {

namespace {
Net& attachedNet(const PinFunction& signal) {
  if (signal.net() == nullptr) throw std::logic_error(signal.name() + " is not attached to a pin");
  return *signal.net();
}
}  // namespace

SerialEndpoint::SerialEndpoint(std::string name, Clock& clock, Net& toBoard, Net& fromBoard, std::uint32_t baud)
    : name_(std::move(name)),
      clock_(clock),
      bitTime_(fraction(1, baud)),
      output_(toBoard, name_),
      receiver_(fromBoard, name_ + " receiver pull-up"),
      transmitter_(
          clock, [this](Level level) { output_.set(level == Level::High ? Drive::High : Drive::Low); },
          [this] { return &output_; }),
      sampler_(
          clock, [this] { return UartFormat{bitTime_, 8}; },
          [this](std::uint16_t data, bool framingError) { this->fromBoard(data, framingError); }) {
  output_.set(Drive::High);
  receiver_.set(Drive::PullUp);
  sampler_.watch(fromBoard);
}

SerialEndpoint::SerialEndpoint(std::string name, Clock& clock, Usart& usart, std::uint32_t baud)
    : SerialEndpoint(std::move(name), clock, attachedNet(usart.rxPin()), attachedNet(usart.txPin()), baud) {
  usart_ = &usart;
}

void SerialEndpoint::fromBoard(std::uint16_t data, bool framingError) {
  auto byte = static_cast<std::uint8_t>(data);
  if (framingError) {
    ++framingErrors_;
    errorListeners_(byte);
    return;
  }
  received_.push_back(static_cast<char>(byte));
  byteListeners_(byte);
}

void SerialEndpoint::send(std::string_view bytes) { send(bytes, clock_.now(), true); }

void SerialEndpoint::send(std::string_view bytes, Time sentAt, bool counted) {
  for (char c : bytes) outbox_.push_back({static_cast<std::uint8_t>(c), sentAt, counted});
  if (!transmitter_.busy()) sendNext();
}

std::vector<Time> SerialEndpoint::undelivered() const {
  std::vector<Time> times;
  if (onLine_ && onLine_->counted) times.push_back(onLine_->sentAt);
  for (const Outgoing& out : outbox_) {
    if (out.counted) times.push_back(out.sentAt);
  }
  return times;
}

// Puts the byte at the head of the outbox on the line, and the next one when
// its stop bit ends.
void SerialEndpoint::sendNext() {
  if (outbox_.empty()) return;
  Outgoing head = outbox_.front();
  outbox_.pop_front();
  onLine_ = head;
  transmitter_.send(head.byte, UartFormat{bitTime_, 8}, bitTime_, [this, head] {
    onLine_.reset();
    // Whether the board heard it is settled by its stop bit.
    if (usart_ != nullptr && head.counted) {
      if (std::string reason = usart_->deafness(); !reason.empty()) lostListeners_(head.byte, head.sentAt, reason);
    }
    sendNext();
  });
}

Time SerialEndpoint::sendDoneAt() const {
  return transmitter_.endsAt() + static_cast<Time>(outbox_.size()) * 10 * bitTime_;
}

}  // namespace sim
