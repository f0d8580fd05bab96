#include "zigbee_link.h"

#include <charconv>

#include "zigbee_link_pty.h"
#include "zigbee_link_tcp.h"

namespace sim {

namespace {

bool parsePort(const std::string& text, std::uint16_t& port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// No peer in range: what the module sends over the air reaches nobody.
class NoPeer : public ZigBeeLink {
 public:
  void fromModule(std::uint8_t) override {}
};

// A peer that sends every byte straight back.
class LoopbackPeer : public ZigBeeLink {
 public:
  explicit LoopbackPeer(ZigBeeModule& module) : module_(module) {}
  void fromModule(std::uint8_t byte) override {
    char c = static_cast<char>(byte);
    module_.fromPeer(std::string_view(&c, 1));
  }

 private:
  ZigBeeModule& module_;
};

}  // namespace

std::optional<ZigBeeLinkMode> parseZigBeeMode(const std::string& mode, std::string& error) {
  ZigBeeLinkMode linkMode;
  const std::string listen = "tcp-listen:", connect = "tcp:";
  if (mode == "none") {
    linkMode.kind = ZigBeeLinkMode::Kind::None;
  } else if (mode == "loopback") {
    linkMode.kind = ZigBeeLinkMode::Kind::Loopback;
  } else if (mode == "pty") {
    linkMode.kind = ZigBeeLinkMode::Kind::Pty;
  } else if (mode.rfind(listen, 0) == 0) {
    linkMode.kind = ZigBeeLinkMode::Kind::TcpListen;
    if (!parsePort(mode.substr(listen.size()), linkMode.port)) {
      error = "--zigbee tcp-listen:PORT needs a port number 0-65535, not '" + mode + "'";
      return std::nullopt;
    }
  } else if (mode.rfind(connect, 0) == 0) {
    linkMode.kind = ZigBeeLinkMode::Kind::TcpConnect;
    std::string rest = mode.substr(connect.size());
    auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || !parsePort(rest.substr(colon + 1), linkMode.port) || linkMode.port == 0) {
      error = "--zigbee tcp:HOST:PORT needs a host and a port 1-65535, not '" + mode + "'";
      return std::nullopt;
    }
    linkMode.host = rest.substr(0, colon);
  } else {
    error = "--zigbee takes none, loopback, tcp-listen:PORT, tcp:HOST:PORT or pty, not '" + mode + "'";
    return std::nullopt;
  }
  return linkMode;
}

std::unique_ptr<ZigBeeLink> openZigBeeLink(const ZigBeeLinkMode& linkMode, Board& board) {
  std::unique_ptr<ZigBeeLink> link;
  switch (linkMode.kind) {
    case ZigBeeLinkMode::Kind::None:
      link = std::make_unique<NoPeer>();
      break;
    case ZigBeeLinkMode::Kind::Loopback:
      link = std::make_unique<LoopbackPeer>(board.zigbee());
      break;
    case ZigBeeLinkMode::Kind::TcpListen:
      link = ZigBeeTcpLink::listen(board.clock(), board.zigbee(), linkMode.port, linkMode.peerWait);
      break;
    case ZigBeeLinkMode::Kind::TcpConnect:
      link = ZigBeeTcpLink::connect(board.clock(), board.zigbee(), linkMode.host, linkMode.port, linkMode.peerWait);
      break;
    case ZigBeeLinkMode::Kind::Pty:
      link = std::make_unique<ZigBeePtyLink>(board.clock(), board.zigbee());
      break;
  }
  board.zigbee().setPeer(link.get());
  return link;
}

}  // namespace sim
