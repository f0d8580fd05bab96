// The ZigBee radio module on the board's USART3: a transparent byte bridge
// between the board and a peer in radio range, 115200 bit/s 8N1 on the board
// side, with an active-low reset input.
//
// While the reset input is low the module is in reset: it sends nothing to the
// board and drops what the board sends it. The input has the module's own
// pull-up, so a reset line the board lets go of reads high. In transparent
// mode the module sends the board nothing of its own: only what arrives over
// the air. A module that announces itself can be had with a start-up notice,
// sent a short while after each release of reset.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/clock.h"
#include "../core/listeners.h"
#include "../core/net.h"
#include "serial_endpoint.h"

namespace sim {

// Whatever is at the far side of the radio link: bytes the module sends out
// over the air reach it.
class ZigBeePeer {
 public:
  virtual ~ZigBeePeer() = default;
  virtual void fromModule(std::uint8_t byte) = 0;
};

class ZigBeeModule {
 public:
  // Time from the release of reset until a start-up notice starts.
  static constexpr Time kBootTime = microseconds(500);

  // `uart` is the module's end of the board's USART3 line; `reset` the net of
  // the module's reset input.
  ZigBeeModule(Clock& clock, SerialEndpoint& uart, Net& reset);
  ZigBeeModule(const ZigBeeModule&) = delete;
  ZigBeeModule& operator=(const ZigBeeModule&) = delete;

  bool inReset() const { return reset_.level() == Level::Low; }
  // Where bytes from the board go over the air; nullptr: no peer in range, they are lost.
  void setPeer(ZigBeePeer* peer) { peer_ = peer; }
  // What the module sends the board kBootTime after each release of reset;
  // empty (the default): nothing. Takes effect from the next release, and for
  // one already under way.
  void setStartUpNotice(std::string notice) { startUpNotice_ = std::move(notice); }
  const std::string& startUpNotice() const { return startUpNotice_; }

  // Bytes received over the air: passed on to the board back to back, unless
  // the module is in reset, which drops them.
  void fromPeer(std::string_view bytes);

  SerialEndpoint& uart() { return uart_; }
  // Bytes dropped because the module was in reset: from the board, from the air.
  std::uint64_t droppedFromBoard() const { return droppedFromBoard_; }
  std::uint64_t droppedFromPeer() const { return droppedFromPeer_; }
  std::uint64_t noticesSent() const { return noticesSent_; }
  // A byte from the peer the board never got because the module was in reset
  // (when it came, or before the module had passed it on); `sentAt` is when
  // the peer sent it. Stays until the Subscription is dropped.
  [[nodiscard]] Subscription onDropped(std::function<void(std::uint8_t byte, Time sentAt, const std::string& reason)> listener) {
    return dropListeners_.add(std::move(listener));
  }
  // When each byte from the peer not yet at the board was sent: waiting in
  // the module, or on the line.
  std::vector<Time> undelivered() const;

 private:
  void resetChanged(Level level);
  void fromBoard(std::uint8_t byte);
  void pump();

  Clock& clock_;
  SerialEndpoint& uart_;
  Net& reset_;
  NetDriver pullUp_;
  Subscription resetSubscription_;
  Subscription uartBytes_;
  ZigBeePeer* peer_ = nullptr;
  std::string startUpNotice_;
  void dropFromPeer(std::uint8_t byte, Time sentAt);

  struct ToBoard {
    std::uint8_t byte;
    Time sentAt;
    bool fromPeer;  // not the module's own notice
  };
  std::deque<ToBoard> toBoard_;
  Listeners<std::uint8_t, Time, const std::string&> dropListeners_;
  Clock::EventId bootEvent_ = 0;
  Clock::EventId pumpEvent_ = 0;
  std::uint64_t droppedFromBoard_ = 0, droppedFromPeer_ = 0, noticesSent_ = 0;
};

}  // namespace sim
