#include "gdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "../core/stop.h"
#include "../core/held_time.h"

namespace sim {

namespace {

constexpr unsigned kRegisters = 17;  // r0-r12, sp, lr, pc, xpsr
// Longest packet body taken: the PacketSize told to the debugger, with room.
constexpr std::size_t kMaxPacket = 0x4000;
constexpr const char kTargetXml[] =
    R"(<?xml version="1.0"?>)"
    R"(<!DOCTYPE target SYSTEM "gdb-target.dtd">)"
    R"(<target version="1.0"><architecture>arm</architecture>)"
    R"(<feature name="org.gnu.gdb.arm.m-profile">)"
    R"(<reg name="r0" bitsize="32"/><reg name="r1" bitsize="32"/><reg name="r2" bitsize="32"/>)"
    R"(<reg name="r3" bitsize="32"/><reg name="r4" bitsize="32"/><reg name="r5" bitsize="32"/>)"
    R"(<reg name="r6" bitsize="32"/><reg name="r7" bitsize="32"/><reg name="r8" bitsize="32"/>)"
    R"(<reg name="r9" bitsize="32"/><reg name="r10" bitsize="32"/><reg name="r11" bitsize="32"/>)"
    R"(<reg name="r12" bitsize="32"/><reg name="sp" bitsize="32" type="data_ptr"/>)"
    R"(<reg name="lr" bitsize="32"/><reg name="pc" bitsize="32" type="code_ptr"/>)"
    R"(<reg name="xpsr" bitsize="32"/></feature></target>)";

std::string hexByte(unsigned b) {
  static const char digits[] = "0123456789abcdef";
  std::string s(2, '0');
  s[0] = digits[(b >> 4) & 0xF];
  s[1] = digits[b & 0xF];
  return s;
}

std::string hexWordLe(std::uint32_t v) {
  std::string s;
  for (unsigned i = 0; i < 4; ++i) s += hexByte((v >> (8 * i)) & 0xFF);
  return s;
}

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseHex(const std::string& s, std::uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  out = 0;
  for (char c : s) {
    int n = nibble(c);
    if (n < 0) return false;
    out = (out << 4) | static_cast<std::uint32_t>(n);
  }
  return true;
}

bool decodeBytes(const std::string& s, std::vector<std::uint8_t>& out) {
  if (s.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < s.size(); i += 2) {
    int hi = nibble(s[i]), lo = nibble(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::uint32_t wordLe(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// "addr,len" of m, M, Z and qXfer packets.
bool parsePair(const std::string& s, std::uint32_t& a, std::uint32_t& b) {
  auto comma = s.find(',');
  return comma != std::string::npos && parseHex(s.substr(0, comma), a) && parseHex(s.substr(comma + 1), b);
}

}  // namespace

GdbServer::GdbServer(std::uint16_t port) : port_(port) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) throw std::runtime_error(std::string("gdb server: socket: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 1) != 0) {
    std::string why = std::strerror(errno);
    ::close(listenFd_);
    throw std::runtime_error("gdb server: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
  }
  socklen_t length = sizeof addr;
  if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) port_ = ntohs(addr.sin_port);
}

GdbServer::~GdbServer() {
  if (fd_ >= 0) ::close(fd_);
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::optional<std::string> GdbServer::receivePacket() {
  // Virtual time stands still while the debugger holds the core.
  HeldTime held;
  std::string data;
  char c = 0;
  int check = 0;
  bool overlong = false;
  enum { Idle, Body, Check1, Check2 } state = Idle;
  for (;;) {
    ssize_t n = ::recv(fd_, &c, 1, 0);
    if (n <= 0) return std::nullopt;
    switch (state) {
      case Idle:
        if (c == '$') {
          data.clear();
          overlong = false;
          state = Body;
        } else if (c == 0x03) {
          return std::string(1, '\x03');
        }
        break;  // '+' and '-' acknowledgements
      case Body:
        if (c == '#') {
          state = Check1;
        } else if (data.size() < kMaxPacket) {
          data += c;
        } else {
          overlong = true;  // dropped whole; the debugger is asked again
        }
        break;
      case Check1:
        check = nibble(c);
        state = Check2;
        break;
      case Check2: {
        // A packet whose checksum does not match what arrived, or is no
        // checksum at all, was garbled on the way: it is not carried out, and
        // '-' asks the debugger to send it again.
        int low = nibble(c);
        unsigned sum = 0;
        for (unsigned char b : data) sum += b;
        state = Idle;
        if (overlong || check < 0 || low < 0 || static_cast<unsigned>(check * 16 + low) != (sum & 0xFF)) {
          ::send(fd_, "-", 1, MSG_NOSIGNAL);
          break;
        }
        ::send(fd_, "+", 1, MSG_NOSIGNAL);
        return data;
      }
    }
  }
}

void GdbServer::sendPacket(const std::string& data) {
  unsigned sum = 0;
  for (unsigned char c : data) sum += c;
  std::string packet = "$" + data + "#" + hexByte(sum & 0xFF);
  ::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL);
}

bool GdbServer::interruptRequested() {
  pollfd pfd{fd_, POLLIN, 0};
  while (::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0) {
    char c = 0;
    if (::recv(fd_, &c, 1, 0) <= 0) return true;  // the debugger went away
    if (c == 0x03) return true;
  }
  return false;
}

std::string GdbServer::resume(CortexM3& core, bool step, std::optional<End>& end) {
  CortexM3::Halt halt;
  try {
    halt = core.run(step ? 1 : 0, [this] { return interruptRequested(); });
  } catch (const Stop& stop) {
    sendPacket(stop.kind() == StopKind::Fault ? "X0b" : "W00");
    throw;
  }
  switch (halt) {
    case CortexM3::Halt::Exited: {
      end = End::Exited;
      std::string reply(1, 'W');
      reply.append(hexByte(static_cast<unsigned>(core.exitStatus()) & 0xFF));
      return reply;
    }
    case CortexM3::Halt::Interrupted:
      return "S02";
    default:
      return "S05";
  }
}

std::string GdbServer::handle(CortexM3& core, const std::string& p, std::optional<End>& end) {
  if (p == "\x03") return "S02";
  if (p == "?") return "S05";
  if (p.rfind("qSupported", 0) == 0) return "PacketSize=4000;qXfer:features:read+";
  if (p.rfind("qXfer:features:read:target.xml:", 0) == 0) {
    std::uint32_t off = 0, len = 0;
    if (!parsePair(p.substr(31), off, len)) return "E01";
    std::string xml = kTargetXml;
    if (off >= xml.size()) return "l";
    std::string part = xml.substr(off, len);
    std::string reply(1, off + part.size() >= xml.size() ? 'l' : 'm');
    reply.append(part);
    return reply;
  }
  if (p == "qAttached") return "1";
  if (p == "g") {
    std::string s;
    for (unsigned r = 0; r < kRegisters; ++r) s += hexWordLe(core.reg(r));
    return s;
  }
  if (p[0] == 'G') {
    std::vector<std::uint8_t> b;
    if (!decodeBytes(p.substr(1), b) || b.size() < kRegisters * 4) return "E01";
    for (unsigned r = 0; r < kRegisters; ++r) core.setReg(r, wordLe(b, r * 4));
    return "OK";
  }
  if (p[0] == 'p') {
    std::uint32_t n = 0;
    if (!parseHex(p.substr(1), n)) return "E01";
    return n < kRegisters ? hexWordLe(core.reg(n)) : "E01";
  }
  if (p[0] == 'P') {
    auto eq = p.find('=');
    std::uint32_t n = 0;
    std::vector<std::uint8_t> b;
    if (eq == std::string::npos || !parseHex(p.substr(1, eq - 1), n) || !decodeBytes(p.substr(eq + 1), b) ||
        b.size() != 4 || n >= kRegisters) {
      return "E01";
    }
    core.setReg(n, wordLe(b, 0));
    return "OK";
  }
  if (p[0] == 'm') {
    std::uint32_t addr = 0, len = 0;
    if (!parsePair(p.substr(1), addr, len) || len > 0x1000) return "E01";
    std::vector<std::uint8_t> b(len);
    if (!core.readMemory(addr, b.data(), len)) return "E01";
    std::string s;
    for (auto v : b) s += hexByte(v);
    return s;
  }
  if (p[0] == 'M') {
    auto colon = p.find(':');
    std::uint32_t addr = 0, len = 0;
    std::vector<std::uint8_t> b;
    if (colon == std::string::npos || !parsePair(p.substr(1, colon - 1), addr, len) ||
        !decodeBytes(p.substr(colon + 1), b) || b.size() != len) {
      return "E01";
    }
    return core.writeMemory(addr, b.data(), len) ? "OK" : "E01";
  }
  if ((p[0] == 'Z' || p[0] == 'z') && p.size() > 3 && (p[1] == '0' || p[1] == '1') && p[2] == ',') {
    std::uint32_t addr = 0, kind = 0;
    if (!parsePair(p.substr(3), addr, kind)) return "E01";
    if (p[0] == 'Z') {
      core.addBreakpoint(addr & ~1u);
    } else {
      core.removeBreakpoint(addr & ~1u);
    }
    return "OK";
  }
  if (p == "c" || p == "s") return resume(core, p == "s", end);
  if (p[0] == 'D') {
    end = End::Detached;
    return "OK";
  }
  if (p[0] == 'H') return "OK";
  if (p == "k" || p.rfind("vKill", 0) == 0) {
    end = End::Killed;
    return "OK";
  }
  return "";  // not supported: gdb falls back to what is
}

GdbServer::End GdbServer::serve(CortexM3& core) {
  std::fprintf(stderr, "tl500-sim: gdb server waiting on 127.0.0.1:%u\n", port_);
  {
    HeldTime held;  // the board waits in reset for the person at gdb
    fd_ = ::accept(listenFd_, nullptr, nullptr);
  }
  if (fd_ < 0) throw std::runtime_error(std::string("gdb server: accept: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::optional<End> end;
  while (!end) {
    auto packet = receivePacket();
    if (!packet) return End::Detached;  // the debugger closed the connection
    if (packet->empty()) {
      sendPacket("");
      continue;
    }
    std::string reply = handle(core, *packet, end);
    if (end == End::Killed) break;
    sendPacket(reply);
  }
  ::close(fd_);
  fd_ = -1;
  return *end;
}

}  // namespace sim
