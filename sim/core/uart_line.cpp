#include "uart_line.h"

#include <bit>

namespace sim {

UartTransmitter::UartTransmitter(Clock& clock, SetLevel setLevel, DirectDriver direct)
    : clock_(clock), setLevel_(std::move(setLevel)), direct_(std::move(direct)) {}

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
  if (NetDriver* driver = direct_ ? direct_() : nullptr; driver != nullptr) {
    LineFrame frame{start_, bit_, bits_ << 1, 1 + dataBits, dataBits, end_};
    if (driver->net().carry(*driver, frame, *this)) {
      // The line stands high until the net needs the frame's edges.
      carriedOn_ = &driver->net();
      level_ = Level::High;
      endEvent_ = clock_.at(end_, [this] { finish(); });
      return;
    }
  }
  level_ = Level::Low;
  setLevel_(Level::Low);  // the start bit
  scheduleNextEdge();
}

void UartTransmitter::finish() {
  event_ = 0;
  endEvent_ = 0;
  if (carriedOn_ != nullptr) {
    Net* net = carriedOn_;
    carriedOn_ = nullptr;
    net->carryDone();
  }
  auto done = std::move(done_);
  done_ = nullptr;
  if (done) done();
}

// From now on the frame goes edge by edge: the bits begun so far are on the
// line (the net already shows this instant's level), the rest follow as events;
// the end keeps its event.
void UartTransmitter::carryCut(const LineFrame& frame) {
  carriedOn_ = nullptr;
  Time now = clock_.now();
  Time begun = now >= start_ + bit_ ? (now - start_) / bit_ : 0;
  index_ = begun < count_ ? static_cast<unsigned>(begun) : count_;
  level_ = frame.levelAt(now);
  setLevel_(level_);
  scheduleNextEdge();
}

void UartTransmitter::netGone() { carriedOn_ = nullptr; }

// One event per edge where the level changes, then one at the end of the stop
// time (unless the end has its event already).
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
  if (endEvent_ != 0) {
    event_ = 0;
    return;
  }
  event_ = clock_.at(end_, [this] { finish(); });
}

void UartTransmitter::abort() {
  if (carriedOn_ != nullptr) carriedOn_->cutCarriedFrame();
  if (event_ != 0) clock_.cancel(event_);
  if (endEvent_ != 0) clock_.cancel(endEvent_);
  event_ = endEvent_ = 0;
  paused_ = false;
  done_ = nullptr;
}

void UartTransmitter::pause() {
  if (carriedOn_ != nullptr) carriedOn_->cutCarriedFrame();
  if ((event_ == 0 && endEvent_ == 0) || paused_) return;
  if (event_ != 0) clock_.cancel(event_);
  if (endEvent_ != 0) clock_.cancel(endEvent_);
  event_ = endEvent_ = 0;
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
  watching_ = net.onFrames(*this, [this](Level level) { edge(level); });
}

void UartSampler::abort() {
  if (centreEvent_ != 0) clock_.cancel(centreEvent_);
  if (deliverEvent_ != 0) clock_.cancel(deliverEvent_);
  centreEvent_ = deliverEvent_ = 0;
  edges_.clear();
  whole_ = false;
}

// A frame read from the frame alone reads as from its edges when the receiver
// is looking for a start bit as it begins, finds the start bit low at its
// centre, and samples the stop bit within the frame after the frame's last
// falling edge: no edge of the frame then falls where the receiver would take
// it for the start of another frame. The receiver's own bit time may differ
// from the sender's (a board at 115,075 bit/s, a terminal at 115,200): the
// samples come from the frame's levels at the receiver's own instants.
bool UartSampler::canTakeFrame(const LineFrame& frame) const {
  if (centreEvent_ != 0) return false;
  UartFormat format = format_();
  if (format.bit == 0) return false;
  Time stopCentre = frame.start + format.bit * (2 * (format.dataBits + 1) + 1) / 2;
  if (stopCentre > frame.end) return false;
  // The start-bit sample: in the start bit when half a bit of this receiver
  // is at most a bit of the sender's.
  if ((format.bit / 2 == 0 || format.bit / 2 > frame.bit) && frame.levelBefore(frame.start + format.bit / 2) != Level::Low) return false;
  // Falling edges: a slot low after a high one, among the data bits.
  std::uint32_t inFrame = frame.slots >= 32 ? ~0u : (1u << frame.slots) - 1u;
  std::uint32_t falls = ~frame.levels & (frame.levels << 1) & inFrame;
  Time lastFall = frame.start;
  if (falls != 0) lastFall += static_cast<Time>(31 - std::countl_zero(falls)) * frame.bit;
  return lastFall < stopCentre;
}

void UartSampler::takeFrame(const LineFrame& frame) {
  frame_ = format_();
  start_ = frame.start;
  carried_ = frame;
  whole_ = true;
  edges_.clear();
  centreEvent_ = clock_.at(start_ + frame_.bit * (2 * (frame_.dataBits + 1) + 1) / 2, [this] { stopBitCentre(); });
}

// The frame's edges so far become the receiver's record, as if it had heard
// them; before the start bit's centre the start-bit check is still to come.
void UartSampler::frameCut(const LineFrame& frame) {
  if (!whole_) return;
  whole_ = false;
  Time now = clock_.now();
  edges_.assign(1, {start_, Level::Low});
  Level level = Level::Low;
  for (unsigned slot = 1; slot <= frame.slots; ++slot) {
    Time when = frame.start + slot * frame.bit;
    if (when > now) break;
    Level next = slot >= frame.slots || ((frame.levels >> slot) & 1u) != 0 ? Level::High : Level::Low;
    if (next != level) edges_.emplace_back(when, next);
    level = next;
  }
  Time startCentre = start_ + frame_.bit / 2;
  if (now < startCentre) {
    clock_.cancel(centreEvent_);
    centreEvent_ = clock_.at(startCentre, [this] { startBitCentre(); });
  }
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
  if (whole_) return carried_.levelBefore(t);
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

// Which slot of a frame at `frame.bit` each of this receiver's samples falls
// in (the data bits, then the stop bit): kept for the next frame at the same
// two rates, so that a frame taken whole costs no division.
void UartSampler::slotsFor(const LineFrame& frame) {
  if (slotsFrameBit_ == frame.bit && slotsOwnBit_ == frame_.bit && slotsDataBits_ == frame_.dataBits) return;
  for (unsigned i = 0; i <= frame_.dataBits; ++i) {
    // Just before the centre instant, as levelBefore() reads it.
    Time offset = frame_.bit * (2 * (i + 1) + 1) / 2 - 1;
    Time slot = offset / frame.bit;
    sampleSlot_[i] = static_cast<std::uint8_t>(slot < 32 ? slot : 32);
  }
  slotsFrameBit_ = frame.bit;
  slotsOwnBit_ = frame_.bit;
  slotsDataBits_ = frame_.dataBits;
}

void UartSampler::stopBitCentre() {
  centreEvent_ = 0;
  std::uint16_t data = 0;
  bool framingError = false;
  if (whole_) {
    slotsFor(carried_);
    // Bit by bit without a branch on the data: the bits of a byte are as good
    // as random, and a branch on each would be mispredicted half the time.
    const std::uint32_t levels = carried_.levels;
    const unsigned slots = carried_.slots;
    auto high = [levels, slots](unsigned slot) -> std::uint32_t {
      return slot >= slots ? 1u : (levels >> slot) & 1u;
    };
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < frame_.dataBits; ++i) bits |= high(sampleSlot_[i]) << i;
    data = static_cast<std::uint16_t>(bits);
    framingError = high(sampleSlot_[frame_.dataBits]) == 0;
  } else {
    for (unsigned i = 0; i < frame_.dataBits; ++i) {
      Time centre = start_ + frame_.bit * (2 * (i + 1) + 1) / 2;
      if (levelBefore(centre) == Level::High) data = static_cast<std::uint16_t>(data | (1u << i));
    }
    framingError = levelBefore(clock_.now()) == Level::Low;
  }
  edges_.clear();
  whole_ = false;
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
