#include "zigbee_link_tcp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "../core/stop.h"
#include "../core/held_time.h"

namespace sim {

namespace {

// Messages on the link, each a type byte and a little-endian 64-bit virtual time:
//   'B' t byte   a byte the module sent over the air at t
//   'G' t        every byte sent before t has been written
//   'E' t        the run ended at t; nothing follows
constexpr char kByte = 'B', kGrant = 'G', kEnd = 'E';
constexpr std::size_t kTimedSize = 9;
constexpr char kMagic[8] = {'T', 'L', '5', '0', '0', 'Z', 'B', '1'};
constexpr int kConnectRetryMs = 10'000;
constexpr int kAcceptWaitMs = 60'000;
constexpr int kGoodbyeWaitMs = 5'000;

void putTime(std::string& out, char type, Time t) {
  out.push_back(type);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((t >> (8 * i)) & 0xFF));
}

Time getTime(const std::string& in, std::size_t at) {
  Time t = 0;
  for (int i = 7; i >= 0; --i) t = (t << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
  return t;
}

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error("zigbee link: " + what + ": " + std::strerror(errno));
}

// Writes everything; false when the other side is gone.
bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void setNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

std::unique_ptr<ZigBeeTcpLink> ZigBeeTcpLink::listen(Clock& clock, ZigBeeModule& module, std::uint16_t port,
                                                     std::chrono::milliseconds peerWait) {
  int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd < 0) throw systemError("socket");
  int one = 1;
  setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd, 1) != 0) {
    auto error = systemError("cannot listen on 127.0.0.1:" + std::to_string(port));
    ::close(listenFd);
    throw error;
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string where = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  // Told before waiting, so that whoever starts the other board knows the port.
  std::fprintf(stderr, "zigbee: listening on %s\n", where.c_str());
  std::fflush(stderr);
  pollfd pfd{listenFd, POLLIN, 0};
  int ready = ::poll(&pfd, 1, kAcceptWaitMs);
  int fd = ready > 0 ? ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  ::close(listenFd);
  if (fd < 0) {
    throw std::runtime_error("zigbee link: no other board connected to " + where + " within " +
                             std::to_string(kAcceptWaitMs / 1000) + " s");
  }
  std::unique_ptr<ZigBeeTcpLink> link(new ZigBeeTcpLink(clock, module, fd, "zigbee: linked on " + where, peerWait));
  link->handshake();
  return link;
}

std::unique_ptr<ZigBeeTcpLink> ZigBeeTcpLink::connect(Clock& clock, ZigBeeModule& module, const std::string& host,
                                                      std::uint16_t port, std::chrono::milliseconds peerWait) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
    throw std::runtime_error("zigbee link: unknown host '" + host + "'");
  }
  std::string where = host + ":" + std::to_string(port);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectRetryMs);
  int fd = -1;
  for (;;) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    if (::connect(fd, found->ai_addr, found->ai_addrlen) == 0) break;
    int error = errno;
    ::close(fd);
    fd = -1;
    // The other board may not be listening yet.
    if (error != ECONNREFUSED || std::chrono::steady_clock::now() > deadline) {
      errno = error;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  freeaddrinfo(found);
  if (fd < 0) throw systemError("cannot connect to " + where);
  std::unique_ptr<ZigBeeTcpLink> link(new ZigBeeTcpLink(clock, module, fd, "zigbee: linked to " + where, peerWait));
  link->handshake();
  return link;
}

ZigBeeTcpLink::ZigBeeTcpLink(Clock& clock, ZigBeeModule& module, int fd, std::string announcement,
                             std::chrono::milliseconds peerWait)
    : clock_(clock), module_(module), fd_(fd), announcement_(std::move(announcement)), peerWait_(peerWait) {
  setNoDelay(fd_);
}

ZigBeeTcpLink::~ZigBeeTcpLink() {
  if (slotEvent_ != 0) clock_.cancel(slotEvent_);
  try {
    finish();
  } catch (...) {
    // Nothing more can be said to the other board.
  }
  if (fd_ >= 0) ::close(fd_);
}

// Both sides say who they are and the slot they cut time into.
void ZigBeeTcpLink::handshake() {
  std::string hello(kMagic, sizeof kMagic);
  for (int i = 0; i < 8; ++i) hello.push_back(static_cast<char>((kSlot >> (8 * i)) & 0xFF));
  if (!writeAll(fd_, hello.data(), hello.size())) throw systemError("handshake");
  std::string answer;
  while (answer.size() < hello.size()) {
    pollfd pfd{fd_, POLLIN, 0};
    char buffer[16];
    if (::poll(&pfd, 1, kAcceptWaitMs) <= 0) throw std::runtime_error("zigbee link: the other side does not answer");
    ssize_t n = ::read(fd_, buffer, hello.size() - answer.size());
    if (n <= 0) throw std::runtime_error("zigbee link: the other side closed the connection at once");
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  if (answer != hello) throw std::runtime_error("zigbee link: the other side is not a tl500-sim of this version");
}

void ZigBeeTcpLink::start() {
  if (started_) return;
  started_ = true;
  Time next = (clock_.now() / kSlot + 1) * kSlot;
  slotEvent_ = clock_.at(next, [this] { slotEnd(); });
}

void ZigBeeTcpLink::fromModule(std::uint8_t byte) {
  if (peerEnded_ || finished_) {
    ++lostAfterEnd_;  // as with no peer in range
    return;
  }
  putTime(out_, kByte, clock_.now());
  out_.push_back(static_cast<char>(byte));
}

// Runs at the end of every slot, a fixed point on the clock.
void ZigBeeTcpLink::slotEnd() {
  slotEvent_ = 0;
  ++slots_;
  Time end = clock_.now();
  if (!peerEnded_) {
    putTime(out_, kGrant, end);
    flush();
    while (!peerEnded_ && peerGranted_ < end) readAtLeastOnce();
  }
  // The other board's bytes of the closed slot go onto the clock; each arrives
  // one frame time after it left, which is after now.
  while (!pending_.empty() && pending_.front().sentAt < end) {
    Pending p = pending_.front();
    pending_.pop_front();
    clock_.at(p.sentAt + kSlot + 1, [this, byte = p.byte] {
      char c = static_cast<char>(byte);
      module_.fromPeer(std::string_view(&c, 1));
    });
  }
  if (peerEnded_ && pending_.empty() && end > peerEndedAt_) {
    if (!endReported_) {
      endReported_ = true;
      std::fprintf(stderr, "tl500-sim: zigbee: the linked board's run ended at %s; no peer in range from now on\n",
                   formatTime(peerEndedAt_).c_str());
    }
    return;  // nothing left to keep in step with
  }
  slotEvent_ = clock_.at(end + kSlot, [this] { slotEnd(); });
}

void ZigBeeTcpLink::flush() {
  if (out_.empty() || fd_ < 0) return;
  // A failed write means the other side is gone; reading tells how.
  writeAll(fd_, out_.data(), out_.size());
  out_.clear();
}

void ZigBeeTcpLink::readAtLeastOnce() {
  pollfd pfd{fd_, POLLIN, 0};
  int ready = 0;
  {
    // Waiting for the other board's slot holds this board's time on purpose.
    HeldTime held;
    ready = ::poll(&pfd, 1, static_cast<int>(peerWait_.count()));
  }
  if (ready == 0) peerSilent();
  if (ready < 0) {
    if (errno == EINTR) return;
    peerGone(std::string("reading the link failed: ") + std::strerror(errno));
  }
  char buffer[4096];
  ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) peerGone("the linked board's tl500-sim went away without ending its run (killed?)");
  in_.append(buffer, static_cast<std::size_t>(n));
  parse();
}

void ZigBeeTcpLink::parse() {
  std::size_t at = 0;
  while (in_.size() - at >= kTimedSize) {
    char type = in_[at];
    Time t = getTime(in_, at + 1);
    if (type == kByte) {
      if (in_.size() - at < kTimedSize + 1) break;
      pending_.push_back({t, static_cast<std::uint8_t>(in_[at + kTimedSize])});
      at += kTimedSize + 1;
    } else if (type == kGrant) {
      if (t > peerGranted_) peerGranted_ = t;
      at += kTimedSize;
    } else if (type == kEnd) {
      peerEnded_ = true;
      peerEndedAt_ = t;
      at += kTimedSize;
      // Nothing more comes; closing is the other side's acknowledgement.
      in_.clear();
      flush();
      ::close(fd_);
      fd_ = -1;
      return;
    } else {
      peerGone("the link carries something that is not a tl500-sim message");
    }
  }
  in_.erase(0, at);
}

void ZigBeeTcpLink::peerGone(const std::string& why) {
  peerEnded_ = true;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  throw Stop(StopKind::Failed, "zigbee link broke at " + formatTime(clock_.now()) + ": " + why);
}

// The other board has said nothing for the whole peer wait. It may only be
// held (a breakpoint, the monitor): it is told that this run is over, so that
// when it goes on it goes on alone instead of finding a broken link.
void ZigBeeTcpLink::peerSilent() {
  putTime(out_, kEnd, clock_.now());
  flush();
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  double seconds = std::chrono::duration<double>(peerWait_).count();
  char waited[32];
  std::snprintf(waited, sizeof waited, "%g s", seconds);
  peerGone(std::string("the linked board has said nothing for ") + waited +
           " of host time (held in a debugger or the monitor, or stopped; --zigbee-peer-wait sets this wait)");
}

void ZigBeeTcpLink::finish() {
  if (finished_) return;
  finished_ = true;
  if (slotEvent_ != 0) clock_.cancel(slotEvent_);
  slotEvent_ = 0;
  if (fd_ < 0) return;
  putTime(out_, kEnd, clock_.now());
  flush();
  ::shutdown(fd_, SHUT_WR);
  // Read until the other side has closed, so that nothing it sent meanwhile
  // turns the close into a reset that could cost it our last words.
  char buffer[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGoodbyeWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, kGoodbyeWaitMs) <= 0) break;
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  ::close(fd_);
  fd_ = -1;
}

}  // namespace sim
