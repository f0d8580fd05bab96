#include "uart_line.h"

namespace sim {

UartTransmitter::UartTransmitter(Clock& clock, SetLevel setLevel) : clock_(clock), setLevel_(std::move(setLevel)) {}

UartTransmitter::~UartTransmitter() { abort(); }

void UartTransmitter::send(std::uint16_t data, UartFormat format, Time stopTime, std::function<void()> done) {
  abort();
  unsigned dataBits = format.dataBits;
  bits_ = (static_cast<std::uint32_t>(data) & ((1u << dataBits) - 1u)) | (1u << dataBits);
  count_ = dataBits + 1;
  index_ = 0;
  start_ = clock_.now();
  bit_ = format.bit;
  end_ = start_ + (1 + dataBits) * bit_ + stopTime;
  done_ = std::move(done);
  level_ = Level::Low;
  setLevel_(Level::Low);  // the start bit
  scheduleNextEdge();
}

// One event per edge where the level changes, then one at the end of the stop
// time.
void UartTransmitter::scheduleNextEdge() {
  while (index_ < count_) {
    Level next = ((bits_ >> index_) & 1u) != 0 ? Level::High : Level::Low;
    if (next != level_) {
      Time when = start_ + (1 + index_) * bit_;
      event_ = clock_.at(when, [this, next] {
        event_ = 0;
        level_ = next;
        ++index_;
        setLevel_(next);
        scheduleNextEdge();
      });
      return;
    }
    ++index_;
  }
  event_ = clock_.at(end_, [this] {
    event_ = 0;
    auto done = std::move(done_);
    done_ = nullptr;
    if (done) done();
  });
}

void UartTransmitter::abort() {
  if (event_ != 0) clock_.cancel(event_);
  event_ = 0;
  paused_ = false;
  done_ = nullptr;
}

void UartTransmitter::pause() {
  if (event_ == 0 || paused_) return;
  clock_.cancel(event_);
  event_ = 0;
  paused_ = true;
  pausedAt_ = clock_.now();
}

void UartTransmitter::resume() {
  if (!paused_) return;
  paused_ = false;
  Time delay = clock_.now() - pausedAt_;
  start_ += delay;
  end_ += delay;
  scheduleNextEdge();
}

UartSampler::UartSampler(Clock& clock, FormatNow format, Deliver deliver)
    : clock_(clock), format_(std::move(format)), deliver_(std::move(deliver)) {}

UartSampler::~UartSampler() { abort(); }

void UartSampler::watch(Net& net) {
  watching_ = net.onChange([this](Level level) { edge(level); });
}

void UartSampler::abort() {
  if (centreEvent_ != 0) clock_.cancel(centreEvent_);
  if (deliverEvent_ != 0) clock_.cancel(deliverEvent_);
  centreEvent_ = deliverEvent_ = 0;
  edges_.clear();
}

void UartSampler::edge(Level level) {
  if (centreEvent_ != 0) {
    edges_.emplace_back(clock_.now(), level);
    return;
  }
  if (level != Level::Low) return;
  UartFormat format = format_();
  if (format.bit == 0) return;  // not listening: the frame passes unseen
  frame_ = format;
  start_ = clock_.now();
  edges_.assign(1, {start_, Level::Low});
  centreEvent_ = clock_.at(start_ + frame_.bit / 2, [this] { startBitCentre(); });
}

Level UartSampler::levelBefore(Time t) const {
  Level level = Level::High;
  for (const auto& [when, after] : edges_) {
    if (when >= t) break;
    level = after;
  }
  return level;
}

void UartSampler::startBitCentre() {
  centreEvent_ = 0;
  if (levelBefore(clock_.now()) != Level::Low) {
    // The line was back high in mid start bit: a glitch, not a frame.
    edges_.clear();
    return;
  }
  centreEvent_ = clock_.at(start_ + frame_.bit * (2 * (frame_.dataBits + 1) + 1) / 2, [this] { stopBitCentre(); });
}

void UartSampler::stopBitCentre() {
  centreEvent_ = 0;
  std::uint16_t data = 0;
  for (unsigned i = 0; i < frame_.dataBits; ++i) {
    Time centre = start_ + frame_.bit * (2 * (i + 1) + 1) / 2;
    if (levelBefore(centre) == Level::High) data = static_cast<std::uint16_t>(data | (1u << i));
  }
  bool framingError = levelBefore(clock_.now()) == Level::Low;
  edges_.clear();
  // From here on the receiver looks for the next start bit. When the line is
  // low now (a break, or a sender at another rate), only its next falling edge
  // starts a frame.
  if (format_().bit == 0) return;  // turned off meanwhile: the frame is dropped
  if (deliverEvent_ != 0) {
    // Only a rate made much faster between two frames gets here before the
    // previous frame's end: that frame is handed over first, in order.
    clock_.cancel(deliverEvent_);
    deliverEvent_ = 0;
    deliver_(pendingData_, pendingError_);
  }
  pendingData_ = data;
  pendingError_ = framingError;
  deliverEvent_ = clock_.at(start_ + frame_.bit * (frame_.dataBits + 2), [this] {
    deliverEvent_ = 0;
    deliver_(pendingData_, pendingError_);
  });
}

}  // namespace sim
