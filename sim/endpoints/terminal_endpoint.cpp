#include "terminal_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "../core/stop.h"
#include "../core/held_time.h"
#include "live_pace.h"

namespace sim {

namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_endingSignal = 0;

std::atomic<bool>* g_wake = nullptr;

extern "C" void onSignal(int signal) {
  g_signal = signal;
  if (g_wake != nullptr) g_wake->store(true, std::memory_order_relaxed);
}

[[noreturn]] void systemError(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

void writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed pipe or a full pseudo-terminal: the byte is lost, as on a line
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Closing the pseudo-terminal's master hangs the line up, and the kernel then
// drops what the attached program has not read yet: the last lines the board
// sent before main returned would never arrive. Wait until they are read, for
// a short while only, as nothing may be attached at all.
constexpr std::chrono::milliseconds kUnreadGrace{500};

void letUnreadOutputGo(int slave) {
  auto deadline = std::chrono::steady_clock::now() + kUnreadGrace;
  int unread = 0;
  while (ioctl(slave, TIOCINQ, &unread) == 0 && unread > 0 && std::chrono::steady_clock::now() < deadline) {
    timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

TerminalEndpoint::TerminalEndpoint(Board& board, Mode mode) : board_(board), mode_(mode) {
  switch (mode_) {
    case Mode::Terminal: {
      if (tcgetattr(inFd_, &saved_) != 0) systemError("standard input is not a terminal");
      termios raw = saved_;
      cfmakeraw(&raw);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      if (tcsetattr(inFd_, TCSAFLUSH, &raw) != 0) systemError("cannot put the terminal in raw mode");
      rawSet_ = true;
      break;
    }
    case Mode::Pty: {
      ptyMaster_ = posix_openpt(O_RDWR | O_NOCTTY);
      if (ptyMaster_ < 0) systemError("cannot open a pseudo-terminal");
      if (grantpt(ptyMaster_) != 0 || unlockpt(ptyMaster_) != 0) systemError("cannot unlock the pseudo-terminal");
      const char* name = ptsname(ptyMaster_);
      if (name == nullptr) systemError("cannot name the pseudo-terminal");
      ptyPath_ = name;
      // Held open for the whole run: the line's settings stay as set here and
      // the pseudo-terminal lives on while programs attach and detach.
      ptySlave_ = ::open(name, O_RDWR | O_NOCTTY);
      if (ptySlave_ < 0) systemError("cannot open " + ptyPath_);
      termios raw{};
      if (tcgetattr(ptySlave_, &raw) != 0) systemError("cannot read the settings of " + ptyPath_);
      cfmakeraw(&raw);
      cfsetispeed(&raw, B115200);
      cfsetospeed(&raw, B115200);
      if (tcsetattr(ptySlave_, TCSANOW, &raw) != 0) systemError("cannot set " + ptyPath_ + " to raw mode");
      int flags = fcntl(ptyMaster_, F_GETFL);
      fcntl(ptyMaster_, F_SETFL, flags | O_NONBLOCK);
      inFd_ = ptyMaster_;
      outFd_ = ptyMaster_;
      // tl500-sim's own terminal stays with the operator: raw, so that a
      // Ctrl-] there reaches the monitor without Enter.
      if (isatty(0) && tcgetattr(0, &controlSaved_) == 0) {
        termios control = controlSaved_;
        cfmakeraw(&control);
        control.c_oflag |= OPOST | ONLCR;  // messages on standard error keep their line ends
        if (tcsetattr(0, TCSAFLUSH, &control) == 0) controlFd_ = 0;
      }
      break;
    }
    case Mode::Stream:
      break;
  }
}

TerminalEndpoint::~TerminalEndpoint() {
  consoleBytes_.reset();
  if (tickEvent_ != 0 && Board::exists()) board_.clock().cancel(tickEvent_);
  restore();
  if (ptySlave_ >= 0) letUnreadOutputGo(ptySlave_);
  if (ptySlave_ >= 0) ::close(ptySlave_);
  if (ptyMaster_ >= 0) ::close(ptyMaster_);
}

void TerminalEndpoint::restore() {
  if (controlFd_ >= 0) {
    tcsetattr(controlFd_, TCSAFLUSH, &controlSaved_);
    controlFd_ = -1;
  }
  if (!rawSet_) return;
  tcsetattr(inFd_, TCSAFLUSH, &saved_);
  rawSet_ = false;
}

void TerminalEndpoint::setMonitor(std::function<void(int inFd, int outFd)> monitor) { monitor_ = std::move(monitor); }

void TerminalEndpoint::endIfSignalled() {
  if (g_signal != 0) endBySignal();
}

void TerminalEndpoint::endBySignal() {
  int signal = g_signal;
  g_signal = 0;
  g_endingSignal = signal;
  throw Stop(StopKind::UserQuit, std::string("ended by signal ") + strsignal(signal));
}

void TerminalEndpoint::waitForAttach() {
  if (mode_ != Mode::Pty) return;
  // The board is held in reset for a person to attach: time held on purpose.
  HeldTime held;
  // While no program has the pseudo-terminal open its master reports a
  // hang-up; our own handle would hide that, so it is closed meanwhile. The
  // line keeps its settings.
  ::close(ptySlave_);
  ptySlave_ = -1;
  for (;;) {
    if (g_signal != 0) endBySignal();
    pollfd pfd{ptyMaster_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, 50);
    if (ready == 0 || (ready > 0 && (pfd.revents & POLLHUP) == 0)) break;
    if (ready < 0 && errno != EINTR) systemError("cannot watch " + ptyPath_);
    if (ready > 0) {
      timespec pause{0, 50'000'000};
      nanosleep(&pause, nullptr);
    }
  }
  ptySlave_ = ::open(ptyPath_.c_str(), O_RDWR | O_NOCTTY);
  if (ptySlave_ < 0) systemError("cannot open " + ptyPath_);
}

void TerminalEndpoint::linger() {
  if (mode_ != Mode::Pty) return;
  HeldTime held;  // main has returned: nothing runs any more
  while (g_signal == 0) {
    pollfd fds[2] = {{ptyMaster_, POLLIN, 0}, {controlFd_, POLLIN, 0}};
    int ready = ::poll(fds, controlFd_ >= 0 ? 2 : 1, 100);
    if (ready <= 0) continue;
    unsigned char buffer[256];
    if ((fds[0].revents & POLLIN) != 0) (void)::read(ptyMaster_, buffer, sizeof buffer);  // the board is gone
    if ((fds[0].revents & POLLHUP) != 0) {
      timespec pause{0, 20'000'000};
      nanosleep(&pause, nullptr);
    }
    if (controlFd_ >= 0 && (fds[1].revents & POLLIN) != 0) {
      ssize_t n = ::read(controlFd_, buffer, sizeof buffer);
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == kQuitKey) return;
      }
    }
  }
  g_signal = 0;
}

void TerminalEndpoint::openMonitor(int inFd, int outFd) {
  auto opened = std::chrono::steady_clock::now();
  monitor_(inFd, outFd);
  // Virtual time stood still meanwhile: the wall clock starts from here again.
  wallStart_ += std::chrono::steady_clock::now() - opened;
  ratioWall_ = {};
}

void TerminalEndpoint::pollControlTerminal() {
  if (controlFd_ < 0) return;
  pollfd pfd{controlFd_, POLLIN, 0};
  if (::poll(&pfd, 1, 0) <= 0 || (pfd.revents & POLLIN) == 0) return;
  unsigned char buffer[64];
  ssize_t n = ::read(controlFd_, buffer, sizeof buffer);
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] != kQuitKey) continue;
    if (monitor_) {
      openMonitor(controlFd_, 2);
    } else {
      throw Stop(StopKind::UserQuit, "ended with Ctrl-]");
    }
    return;
  }
}

void TerminalEndpoint::catchSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void TerminalEndpoint::catchSignals(std::atomic<bool>& wake) {
  g_wake = &wake;
  catchSignals();
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

int TerminalEndpoint::endingSignal() { return g_endingSignal; }

void TerminalEndpoint::start() {
  if (started_) return;
  started_ = true;
  virtualStart_ = board_.clock().now();
  wallStart_ = std::chrono::steady_clock::now();
  consoleBytes_ = board_.console().onByte([this](std::uint8_t byte) { fromBoard(byte); });
  tickEvent_ = board_.clock().after(kTick, [this] { tick(); });
}

void TerminalEndpoint::fromBoard(std::uint8_t byte) { writeAll(outFd_, &byte, 1); }

void TerminalEndpoint::tick() {
  tickEvent_ = 0;
  if (g_signal != 0) endBySignal();
  pollControlTerminal();
  if (livePace().idle) livePace().idle();
  holdWhilePaused();
  namespace chrono = std::chrono;
  LivePace& pace = livePace();
  auto wallNow = chrono::steady_clock::now();
  double factor = pace.factor;
  if (factor == 0 && pace.lastKey != chrono::steady_clock::time_point{} && wallNow - pace.lastKey < kTypingWindow) {
    factor = 1;
  }
  if (pace.generation != paceGeneration_ || factor != pacedFactor_) {
    // A new pace counts from here.
    paceGeneration_ = pace.generation;
    pacedFactor_ = factor;
    virtualStart_ = board_.clock().now();
    wallStart_ = wallNow;
  }
  measureRatio(wallNow);
  if (factor == 0) {
    readInput(0);
  } else {
    auto virtualElapsed = chrono::nanoseconds(
        static_cast<std::int64_t>(toSeconds(board_.clock().now() - virtualStart_) / factor * 1e9));
    // Sleep until the wall clock has caught up with virtual time, taking keys
    // as they come meanwhile.
    for (;;) {
      auto wallElapsed = chrono::steady_clock::now() - wallStart_;
      auto ahead = chrono::duration_cast<chrono::microseconds>(virtualElapsed - wallElapsed);
      if (ahead.count() <= 0) {
        if (-ahead > kMaxLag) wallStart_ += -ahead - kMaxLag;
        readInput(0);
        break;
      }
      readInput(static_cast<int>(ahead.count()));
    }
  }
  tickEvent_ = board_.clock().after(kTick, [this] { tick(); });
}

void TerminalEndpoint::measureRatio(std::chrono::steady_clock::time_point wallNow) {
  if (ratioWall_ == std::chrono::steady_clock::time_point{}) {
    ratioWall_ = wallNow;
    ratioVirtual_ = board_.clock().now();
    return;
  }
  auto wall = wallNow - ratioWall_;
  if (wall < kRatioWindow) return;
  double wallSeconds = std::chrono::duration<double>(wall).count();
  livePace().ratio = toSeconds(board_.clock().now() - ratioVirtual_) / wallSeconds;
  ratioWall_ = wallNow;
  ratioVirtual_ = board_.clock().now();
}

// Paused from the page: virtual time holds here; signals, Ctrl-] on
// tl500-sim's own terminal and the page's commands still act. Keys typed on
// the console wait in the terminal until the run goes on.
void TerminalEndpoint::holdWhilePaused() {
  if (!livePace().paused) return;
  livePace().ratio = 0;
  // Time held by a person on purpose: never a stuck firmware.
  HeldTime held;
  while (livePace().paused) {
    if (g_signal != 0) endBySignal();
    pollControlTerminal();
    if (livePace().idle) livePace().idle();
    timespec pause{0, 10'000'000};
    nanosleep(&pause, nullptr);
  }
  ratioWall_ = {};
}

std::size_t TerminalEndpoint::unreadKeys() {
  if (mode_ != Mode::Stream || !inputOpen_) return 0;
  std::size_t count = 0;
  unsigned char buffer[4096];
  while (count < kMaxCountedKeys) {
    pollfd pfd{inFd_, POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0 || (pfd.revents & POLLIN) == 0) break;
    ssize_t n = ::read(inFd_, buffer, sizeof buffer);
    if (n <= 0) break;
    count += static_cast<std::size_t>(n);
  }
  return count;
}

// Waits up to `timeoutMicros` for input and passes what came to the board.
void TerminalEndpoint::readInput(int timeoutMicros) {
  // Piped keys are all there at once: they wait until the console port is
  // enabled, where a person would wait for the banner.
  bool accept = inputOpen_ && (mode_ != Mode::Stream || board_.usart1().enabled());
  if (!accept) {
    if (timeoutMicros > 0) {
      timespec pause{timeoutMicros / 1'000'000, (timeoutMicros % 1'000'000) * 1000L};
      nanosleep(&pause, nullptr);
    }
    return;
  }
  pollfd pfd{inFd_, POLLIN, 0};
  timespec timeout{timeoutMicros / 1'000'000, (timeoutMicros % 1'000'000) * 1000L};
  int ready = ppoll(&pfd, 1, &timeout, nullptr);
  if (ready <= 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
  unsigned char buffer[256];
  ssize_t n = ::read(inFd_, buffer, sizeof buffer);
  if (mode_ == Mode::Terminal && (n == 0 || (n < 0 && errno == EIO))) {
    // The operator's terminal is gone (hung up without a SIGHUP reaching us,
    // as when it is not our controlling terminal): no key can come any more,
    // so the run ends as with Ctrl-].
    // It ends as a hang-up signal would have ended it.
    g_endingSignal = SIGHUP;
    throw Stop(StopKind::UserQuit, "the terminal hung up");
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO)) {
    if (errno == EIO) {
      // Nothing attached to the pseudo-terminal right now.
      timespec pause{0, 1'000'000};
      nanosleep(&pause, nullptr);
    }
    return;
  }
  if (n <= 0) {
    inputOpen_ = false;  // end of the piped input: the run goes on without keys
    return;
  }
  std::string keys(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  liveKeyTyped();
  if (mode_ == Mode::Terminal) {
    std::size_t quit = keys.find(static_cast<char>(kQuitKey));
    if (quit != std::string::npos) {
      board_.console().send(keys.substr(0, quit));
      if (!monitor_) throw Stop(StopKind::UserQuit, "ended with Ctrl-]");
      // What was typed after Ctrl-] in the same read is dropped: the monitor
      // reads its own line.
      openMonitor(inFd_, outFd_);
      return;
    }
  }
  board_.console().send(keys);
}

}  // namespace sim
