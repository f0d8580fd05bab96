// What is at the far side of the ZigBee module's radio, chosen with
// tl500-sim's --zigbee MODE:
//
//   none              no peer in range: bytes the board sends are lost
//   loopback          every byte the board sends comes straight back
//   tcp-listen:PORT   the module of another tl500-sim, which connects here
//   tcp:HOST:PORT     the module of another tl500-sim, listening there
//   pty               a pseudo-terminal plays the peer; its path is printed
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "../board.h"
#include "../devices/zigbee_module.h"

namespace sim {

struct ZigBeeLinkMode {
  enum class Kind { None, Loopback, TcpListen, TcpConnect, Pty };
  Kind kind = Kind::None;
  std::string host;        // tcp: the listening side
  std::uint16_t port = 0;  // tcp-listen: 0 picks a free port
  // tcp: how long the other board may say nothing before the link is given up
  std::chrono::milliseconds peerWait{60'000};
};

// Parses MODE; nullopt and a message in `error` when it is not one of the above.
std::optional<ZigBeeLinkMode> parseZigBeeMode(const std::string& mode, std::string& error);

class ZigBeeLink : public ZigBeePeer {
 public:
  // Starts exchanging from the current virtual time.
  virtual void start() {}
  // The run is over: the far side is told, so it is never left waiting.
  virtual void finish() {}
  // Something to show the operator at start ("zigbee: /dev/pts/4"), or "".
  virtual std::string announcement() const { return ""; }
};

// Opens the link and attaches it to the board's ZigBee module; throws
// std::runtime_error when that is not possible (port taken, nobody listening).
std::unique_ptr<ZigBeeLink> openZigBeeLink(const ZigBeeLinkMode& linkMode, Board& board);

}  // namespace sim
