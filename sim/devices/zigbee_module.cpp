#include "zigbee_module.h"

namespace sim {

ZigBeeModule::ZigBeeModule(Clock& clock, SerialEndpoint& uart, Net& reset)
    : clock_(clock), uart_(uart), reset_(reset), pullUp_(reset, "ZigBee module reset pull-up") {
  pullUp_.set(Drive::PullUp);
  resetSubscription_ = reset_.onChange([this](Level level) { resetChanged(level); });
  uartBytes_ = uart_.onByte([this](std::uint8_t byte) { fromBoard(byte); });
  if (!inReset()) resetChanged(Level::High);
}

void ZigBeeModule::resetChanged(Level level) {
  if (level == Level::Low) {
    // In reset: whatever the module meant to send is gone.
    clock_.cancel(bootEvent_);
    bootEvent_ = 0;
    for (const ToBoard& waiting : toBoard_) {
      if (waiting.fromPeer) dropFromPeer(waiting.byte, waiting.sentAt);
    }
    toBoard_.clear();
    return;
  }
  clock_.cancel(bootEvent_);
  bootEvent_ = clock_.after(clock_.outside(kBootTime), [this] {
    bootEvent_ = 0;
    if (startUpNotice_.empty()) return;  // transparent: nothing of its own
    ++noticesSent_;
    for (char c : startUpNotice_) toBoard_.push_back({static_cast<std::uint8_t>(c), clock_.now(), false});
    pump();
  });
}

void ZigBeeModule::fromBoard(std::uint8_t byte) {
  if (inReset()) {
    ++droppedFromBoard_;
    return;
  }
  if (peer_ != nullptr) peer_->fromModule(byte);
}

void ZigBeeModule::fromPeer(std::string_view bytes) {
  if (inReset()) {
    for (char c : bytes) dropFromPeer(static_cast<std::uint8_t>(c), clock_.now());
    return;
  }
  for (char c : bytes) toBoard_.push_back({static_cast<std::uint8_t>(c), clock_.now(), true});
  pump();
}

void ZigBeeModule::dropFromPeer(std::uint8_t byte, Time sentAt) {
  ++droppedFromPeer_;
  dropListeners_(byte, sentAt, "the ZigBee module was in reset");
}

std::vector<Time> ZigBeeModule::undelivered() const {
  std::vector<Time> times = uart_.undelivered();
  for (const ToBoard& waiting : toBoard_) {
    if (waiting.fromPeer) times.push_back(waiting.sentAt);
  }
  return times;
}

// Hands the board one byte at a time, so that a reset stops the rest.
void ZigBeeModule::pump() {
  if (pumpEvent_ != 0 || toBoard_.empty() || inReset()) return;
  if (uart_.sending()) {
    pumpEvent_ = clock_.at(uart_.sendDoneAt(), [this] {
      pumpEvent_ = 0;
      pump();
    });
    return;
  }
  ToBoard next = toBoard_.front();
  toBoard_.pop_front();
  uart_.send(std::string_view(reinterpret_cast<const char*>(&next.byte), 1), next.sentAt, next.fromPeer);
  pumpEvent_ = clock_.at(uart_.sendDoneAt(), [this] {
    pumpEvent_ = 0;
    pump();
  });
}

}  // namespace sim
