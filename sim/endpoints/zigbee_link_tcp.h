// Two virtual boards in two tl500-sim processes, their ZigBee modules linked
// over TCP, their virtual clocks kept in step without the wall clock.
//
// A byte that one module sends over the air at virtual time t reaches the
// other module at t + one frame time (86.8 us at 115200 bit/s, and a quantum):
// it cannot arrive sooner. That is the look-ahead of the link. Virtual time is
// cut into slots of one frame time; at the end of each slot (a fixed point on
// the clock) a board tells the other that it has sent every byte of the slot
// and waits until the other has said the same. The bytes of the slot just
// closed then go onto the clock at their arrival times, which lie in the
// future. So each board runs at most one frame time ahead of the other, bytes
// are placed on the clock at points fixed in virtual time, in a fixed order,
// and a two-board run is exactly repeatable.
//
// When one run ends, its link says so; the other board's link reports it and
// goes on with no peer in range. A link that breaks without that word (the
// other process killed) ends the run as a failure. So does a linked board
// that says nothing for the peer wait (held in gdb or the monitor, or
// stopped); this board then tells it that its run is over, so that the held
// board goes on alone when it is let go.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "zigbee_link.h"

namespace sim {

class ZigBeeTcpLink : public ZigBeeLink {
 public:
  // One slot: the time a byte takes on the air.
  static constexpr Time kSlot = fraction(10, 115200);
  // Wall-clock time a board waits by default for the other's slot before it
  // gives the link up (the other held in a debugger or the monitor, or
  // stopped). Meanwhile its own virtual time is held on purpose, not stuck.
  static constexpr std::chrono::milliseconds kDefaultPeerWait{60'000};

  // Waits for the other tl500-sim to connect to PORT on 127.0.0.1 (0: a free
  // port; announcement() names it). Throws std::runtime_error.
  static std::unique_ptr<ZigBeeTcpLink> listen(Clock& clock, ZigBeeModule& module, std::uint16_t port,
                                               std::chrono::milliseconds peerWait = kDefaultPeerWait);
  // Connects to a listening tl500-sim, retrying for a few seconds so that the
  // two can be started in either order. Throws std::runtime_error.
  static std::unique_ptr<ZigBeeTcpLink> connect(Clock& clock, ZigBeeModule& module, const std::string& host,
                                                std::uint16_t port,
                                                std::chrono::milliseconds peerWait = kDefaultPeerWait);

  ~ZigBeeTcpLink() override;

  void fromModule(std::uint8_t byte) override;
  void start() override;
  void finish() override;
  std::string announcement() const override { return announcement_; }

  // Slot boundaries passed (for benchmarks and tests).
  std::uint64_t slots() const { return slots_; }

 private:
  struct Pending {
    Time sentAt;
    std::uint8_t byte;
  };

  ZigBeeTcpLink(Clock& clock, ZigBeeModule& module, int fd, std::string announcement,
                std::chrono::milliseconds peerWait);
  void handshake();
  void slotEnd();
  void flush();
  void readAtLeastOnce();
  void parse();
  [[noreturn]] void peerGone(const std::string& why);
  [[noreturn]] void peerSilent();

  Clock& clock_;
  ZigBeeModule& module_;
  int fd_ = -1;
  std::string announcement_;
  std::chrono::milliseconds peerWait_;
  std::string out_;              // messages not yet written
  std::string in_;               // bytes read, not yet parsed
  std::deque<Pending> pending_;  // bytes from the other board not yet on the clock
  Time peerGranted_ = 0;         // the other board has sent every byte sent before this time
  bool peerEnded_ = false;       // the other run is over
  Time peerEndedAt_ = 0;
  bool endReported_ = false;
  bool finished_ = false;
  bool started_ = false;
  Clock::EventId slotEvent_ = 0;
  std::uint64_t slots_ = 0;
  std::uint64_t lostAfterEnd_ = 0;
};

}  // namespace sim
