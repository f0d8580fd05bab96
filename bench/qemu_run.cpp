#include "qemu_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace bench {

namespace {

// Where the child finds the gdb stub's end of the socket pair.
constexpr int kChildGdbFd = 3;
// Descriptors the parent hands down are moved at or above this, so that
// setting up the child's 0-3 never overwrites one still to be moved.
constexpr int kHighFd = 10;

std::string hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", v);
  return text;
}

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// `fd` moved to a descriptor at or above kHighFd, close-on-exec.
Fd high(int fd, const char* what) {
  if (fd < 0) throw QemuError(errnoText(what));
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kHighFd);
  int saved = errno;
  ::close(fd);
  errno = saved;
  if (moved < 0) throw QemuError(errnoText(what));
  return Fd(moved);
}

// The QEMU process: killed and reaped unless it was waited for to its end.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits for the end, at most `timeoutMs` of wall clock; false when it did
  // not end in that time.
  bool wait(int timeoutMs, int& status, rusage& usage) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
      if (done == pid_) {
        pid_ = -1;
        return true;
      }
      if (done < 0 && errno != EINTR) throw QemuError(errnoText("waiting for QEMU"));
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  pid_t pid_;
};

// What QEMU wrote to its standard error (trimmed), for messages.
std::string said(int fd) {
  std::string text;
  char chunk[512];
  if (::lseek(fd, 0, SEEK_SET) != 0) return text;
  ssize_t n;
  while (text.size() < 4096 && (n = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text.empty() ? text : " (QEMU said: " + text + ")";
}

// The debugger's side of the gdb remote protocol, one command at a time.
class GdbLink {
 public:
  GdbLink(int fd, int timeoutMs) : fd_(fd), timeoutMs_(timeoutMs) {}

  std::string command(std::string_view payload) {
    last_ = gdbFrame(payload);
    write(last_);
    return receive();
  }

 private:
  void write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw QemuError(errnoText("writing to QEMU's gdb stub"));
      done += static_cast<std::size_t>(n);
    }
  }

  char next() {
    if (at_ == buffer_.size()) {
      pollfd p{fd_, POLLIN, 0};
      int ready;
      while ((ready = ::poll(&p, 1, timeoutMs_)) < 0 && errno == EINTR) {
      }
      if (ready < 0) throw QemuError(errnoText("waiting for QEMU's gdb stub"));
      if (ready == 0) throw QemuError("QEMU's gdb stub gave no answer in " + std::to_string(timeoutMs_ / 1000) + " s");
      char chunk[4096];
      ssize_t n;
      while ((n = ::recv(fd_, chunk, sizeof chunk, 0)) < 0 && errno == EINTR) {
      }
      if (n < 0) throw QemuError(errnoText("reading from QEMU's gdb stub"));
      if (n == 0) throw QemuError("QEMU closed its gdb connection");
      buffer_.assign(chunk, static_cast<std::size_t>(n));
      at_ = 0;
    }
    return buffer_[at_++];
  }

  // The next reply: acknowledgements are passed over (a refused one sends
  // the command again), a reply that arrived damaged is asked for again.
  std::string receive() {
    for (int attempts = 0; attempts < 8; ++attempts) {
      char c;
      while ((c = next()) != '$') {
        if (c == '-') write(last_);
      }
      std::string frame = "$";
      while ((c = next()) != '#') {
        frame += c;
        if (frame.size() > (1u << 20)) throw QemuError("QEMU's gdb stub sent an endless reply");
      }
      frame += c;
      frame += next();
      frame += next();
      if (auto payload = gdbUnframe(frame)) {
        // The acknowledgement is best effort: after a detach QEMU may be gone.
        ::send(fd_, "+", 1, MSG_NOSIGNAL);
        return *payload;
      }
      ::send(fd_, "-", 1, MSG_NOSIGNAL);
    }
    throw QemuError("QEMU's gdb stub kept sending damaged replies");
  }

  int fd_;
  int timeoutMs_;
  std::string buffer_;
  std::size_t at_ = 0;
  std::string last_;
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isStop(const std::string& reply) { return !reply.empty() && (reply[0] == 'S' || reply[0] == 'T'); }

}  // namespace

std::optional<std::string> findOnPath(const std::string& program) {
  if (program.empty()) return std::nullopt;
  auto runnable = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string::npos) return runnable(program) ? std::optional(program) : std::nullopt;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t from = 0;
  for (;;) {
    std::size_t to = dirs.find(':', from);
    std::string dir = dirs.substr(from, to == std::string::npos ? std::string::npos : to - from);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (runnable(candidate)) return candidate;
    if (to == std::string::npos) return std::nullopt;
    from = to + 1;
  }
}

std::string gdbFrame(std::string_view payload) {
  unsigned sum = 0;
  for (char c : payload) sum += static_cast<unsigned char>(c);
  char tail[4];
  std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFFu);
  return "$" + std::string(payload) + tail;
}

std::optional<std::string> gdbUnframe(std::string_view frame) {
  if (frame.size() < 4 || frame.front() != '$' || frame[frame.size() - 3] != '#') return std::nullopt;
  std::string_view payload = frame.substr(1, frame.size() - 4);
  int high = hexDigit(frame[frame.size() - 2]), low = hexDigit(frame[frame.size() - 1]);
  if (high < 0 || low < 0) return std::nullopt;
  unsigned sum = 0;
  for (char c : payload) sum += static_cast<unsigned char>(c);
  if ((sum & 0xFFu) != static_cast<unsigned>(high * 16 + low)) return std::nullopt;
  return std::string(payload);
}

std::optional<std::vector<std::uint8_t>> gdbHexBytes(std::string_view reply) {
  if (reply.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < reply.size(); i += 2) {
    int high = hexDigit(reply[i]), low = hexDigit(reply[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

QemuOutcome runQemu(const QemuRequest& request) {
  if (::access(request.qemu.c_str(), X_OK) != 0) throw QemuError(errnoText("cannot run " + request.qemu));
  if (::access(request.elf.c_str(), R_OK) != 0) throw QemuError(errnoText("cannot read " + request.elf));
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw QemuError(errnoText("socketpair"));
  Fd ours = high(pair[0], "socketpair");
  Fd theirs = high(pair[1], "socketpair");
  Fd errors = high(::memfd_create("qemu-stderr", MFD_CLOEXEC), "memfd_create");
  Fd devNull = high(::open("/dev/null", O_RDWR | O_CLOEXEC), "/dev/null");

  std::string gdbChardev = "socket,id=gdb,fd=" + std::to_string(kChildGdbFd);
  std::vector<std::string> args = {request.qemu, "-M", "lm3s6965evb", "-nographic",
                                   "-semihosting-config", "enable=on,target=native", "-kernel", request.elf,
                                   "-chardev", gdbChardev, "-gdb", "chardev:gdb", "-S"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) throw QemuError(errnoText("fork"));
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    if (::dup2(devNull.get(), 0) < 0 || ::dup2(devNull.get(), 1) < 0 || ::dup2(errors.get(), 2) < 0 ||
        ::dup2(theirs.get(), kChildGdbFd) < 0) {
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  Child child(pid);
  theirs.reset();

  const int timeoutMs = request.answerTimeoutSeconds * 1000;
  const std::string where = "0x" + hex(request.stopAt);
  QemuOutcome outcome;
  try {
    GdbLink gdb(ours.get(), timeoutMs);
    std::string reply = gdb.command("?");
    if (!isStop(reply)) throw QemuError("QEMU did not start halted (its gdb stub answered \"" + reply + "\")");
    reply = gdb.command("Z0," + hex(request.stopAt) + ",2");
    if (reply != "OK") throw QemuError("QEMU's gdb stub took no breakpoint at " + where + " (\"" + reply + "\")");
    reply = gdb.command("c");
    if (!reply.empty() && (reply[0] == 'W' || reply[0] == 'X')) {
      throw QemuError("the program ended (\"" + reply + "\") without reaching " + where);
    }
    if (!isStop(reply)) throw QemuError("QEMU's gdb stub answered \"" + reply + "\" instead of stopping at " + where);
    // The core registers, r0 first, each little-endian: the program counter
    // is r15.
    reply = gdb.command("g");
    auto registers = gdbHexBytes(reply);
    if (!registers || registers->size() < 64) {
      throw QemuError("QEMU's gdb stub did not give the core registers (\"" + reply + "\")");
    }
    const std::uint8_t* pc = registers->data() + 60;
    std::uint32_t stoppedAt = std::uint32_t{pc[0]} | std::uint32_t{pc[1]} << 8 | std::uint32_t{pc[2]} << 16 |
                              std::uint32_t{pc[3]} << 24;
    if (stoppedAt != request.stopAt) throw QemuError("QEMU stopped at 0x" + hex(stoppedAt) + ", not at " + where);
    reply = gdb.command("m" + hex(request.readAt) + "," + hex(request.readSize));
    auto memory = gdbHexBytes(reply);
    if (!memory || memory->size() != request.readSize) {
      throw QemuError("QEMU's gdb stub did not read " + std::to_string(request.readSize) + " bytes at 0x" +
                      hex(request.readAt) + " (\"" + reply + "\")");
    }
    outcome.memory = std::move(*memory);
    // Detaching removes the breakpoint and lets the program run to its exit.
    reply = gdb.command("D");
    if (reply != "OK") throw QemuError("QEMU's gdb stub did not let the program go (\"" + reply + "\")");
  } catch (const QemuError& e) {
    throw QemuError(e.what() + said(errors.get()));
  }
  ours.reset();
  int status = 0;
  rusage usage{};
  if (!child.wait(timeoutMs, status, usage)) {
    throw QemuError("QEMU did not end within " + std::to_string(request.answerTimeoutSeconds) +
                    " s after the program was let go" + said(errors.get()));
  }
  if (!WIFEXITED(status)) {
    throw QemuError("QEMU ended by signal " + std::to_string(WTERMSIG(status)) + said(errors.get()));
  }
  outcome.exitStatus = WEXITSTATUS(status);
  outcome.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return outcome;
}

}  // namespace bench
