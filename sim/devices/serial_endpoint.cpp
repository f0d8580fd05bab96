#include "serial_endpoint.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {
// What the end has received is kept for the whole run. A scripted run's
// console output is some tens of kilobytes: room for that much is set aside
// at once, so that the text is not copied into ever larger buffers as it
// grows, each copy writing memory the process has not touched before.
constexpr std::size_t kReceivedRoom = 64 * 1024;

// The end's bit time: `baud` exactly when nominal, else off by the run's draw.
Time drawnBitTime(const std::string& name, std::uint32_t baud, const TimingTolerances& timing) {
  Time nominal = fraction(1, baud);
  double ppm = timing.fixedPpm(name + ".rate", SerialEndpoint::kRateTolerancePpm);
  if (ppm == 0.0) return nominal;
  // A rate higher by `ppm` is a bit time shorter by the same factor.
  return static_cast<Time>(std::llround(static_cast<double>(nominal) / (1.0 + ppm * 1e-6)));
}
}  // namespace

SerialEndpoint::SerialEndpoint(std::string name, Clock& clock, Net& toBoard, Net& fromBoard, std::uint32_t baud,
                               const TimingTolerances& timing, Deafness deafness)
    : name_(std::move(name)),
      clock_(clock),
      ownBitTime_(drawnBitTime(name_, baud, timing)),
      output_(toBoard, name_),
      receiver_(fromBoard, name_ + " receiver pull-up"),
      transmitter_(
          clock, [this](Level level) { output_.set(level == Level::High ? Drive::High : Drive::Low); },
          [this] { return &output_; }),
      sampler_(
          clock, [this] { return UartFormat{bitTime(), 8}; },
          [this](std::uint16_t data, bool framingError) { this->fromBoard(data, framingError); }),
      gaps_(timing.stream(name_ + ".gap")),
      deafness_(std::move(deafness)) {
  output_.set(Drive::High);
  receiver_.set(Drive::PullUp);
  sampler_.watch(fromBoard);
  received_.reserve(kReceivedRoom);
}

SerialEndpoint::~SerialEndpoint() { clock_.cancel(startEvent_); }

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
  for (char c : bytes) {
    Time gap = ownBitTime_ * gaps_.draw(0, 0, kMaxGapSixteenths) / 16;
    outbox_.push_back({static_cast<std::uint8_t>(c), sentAt, gap, counted});
  }
  if (!transmitter_.busy() && startEvent_ == 0) sendNext();
}

std::vector<Time> SerialEndpoint::undelivered() const {
  std::vector<Time> times;
  if (onLine_ && onLine_->counted) times.push_back(onLine_->sentAt);
  for (const Outgoing& out : outbox_) {
    if (out.counted) times.push_back(out.sentAt);
  }
  return times;
}

// Puts the byte at the head of the outbox on the line once its idle gap after
// the last frame has passed, and the next one when its stop bit ends.
void SerialEndpoint::sendNext() {
  if (outbox_.empty()) return;
  Time now = clock_.now();
  Time start = std::max(now, lastEnd_ + clock_.outside(outbox_.front().gap));
  if (start > now) {
    startEvent_ = clock_.at(start, [this] {
      startEvent_ = 0;
      sendNext();
    });
    return;
  }
  Outgoing head = outbox_.front();
  outbox_.pop_front();
  onLine_ = head;
  Time bit = bitTime();
  transmitter_.send(head.byte, UartFormat{bit, 8}, bit, [this, head] {
    lastEnd_ = clock_.now();
    onLine_.reset();
    // Whether the board heard it is settled by its stop bit.
    if (deafness_ && head.counted) {
      if (std::string reason = deafness_(); !reason.empty()) lostListeners_(head.byte, head.sentAt, reason);
    }
    sendNext();
  });
}

Time SerialEndpoint::sendDoneAt() const {
  Time now = clock_.now();
  Time end = transmitter_.busy() ? transmitter_.endsAt() : lastEnd_;
  for (const Outgoing& next : outbox_) end = std::max(now, end + clock_.outside(next.gap)) + frameTime();
  return std::max(end, now);
}

}  // namespace sim
