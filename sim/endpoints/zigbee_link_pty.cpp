#include "zigbee_link_pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace sim {

namespace {
[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("zigbee: " + what + ": " + std::strerror(errno));
}
}  // namespace

ZigBeePtyLink::ZigBeePtyLink(Clock& clock, ZigBeeModule& module) : clock_(clock), module_(module) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) fail("cannot open a pseudo-terminal");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) fail("cannot unlock the pseudo-terminal");
  const char* name = ptsname(master_);
  if (name == nullptr) fail("cannot name the pseudo-terminal");
  path_ = name;
  // Held open for the whole run, so the raw settings stay while programs come and go.
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) fail("cannot open " + path_);
  termios raw{};
  if (tcgetattr(slave_, &raw) != 0) fail("cannot read the settings of " + path_);
  cfmakeraw(&raw);
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  if (tcsetattr(slave_, TCSANOW, &raw) != 0) fail("cannot set " + path_ + " to raw mode");
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

ZigBeePtyLink::~ZigBeePtyLink() {
  if (tickEvent_ != 0) clock_.cancel(tickEvent_);
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

void ZigBeePtyLink::fromModule(std::uint8_t byte) {
  // Nobody reading: the pseudo-terminal's buffer keeps it, or it is lost as on air.
  ssize_t n = ::write(master_, &byte, 1);
  (void)n;
}

void ZigBeePtyLink::start() {
  virtualStart_ = clock_.now();
  wallStart_ = std::chrono::steady_clock::now();
  tickEvent_ = clock_.after(kTick, [this] { tick(); });
}

void ZigBeePtyLink::tick() {
  namespace chrono = std::chrono;
  auto virtualElapsed = chrono::nanoseconds(static_cast<std::int64_t>(toSeconds(clock_.now() - virtualStart_) * 1e9));
  auto wallElapsed = chrono::steady_clock::now() - wallStart_;
  if (virtualElapsed > wallElapsed) std::this_thread::sleep_for(virtualElapsed - wallElapsed);
  char buffer[256];
  ssize_t n = ::read(master_, buffer, sizeof buffer);
  if (n > 0) module_.fromPeer(std::string_view(buffer, static_cast<std::size_t>(n)));
  tickEvent_ = clock_.after(kTick, [this] { tick(); });
}

}  // namespace sim
