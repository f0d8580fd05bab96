#include "serial_port_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "exit_status.h"
#include "run_files.h"
#include "sim/core/stop.h"
#include "sim/script/command_table.h"
#include "sim/script/script.h"

namespace sim {

namespace {

constexpr std::size_t kContextBytes = 200;

// A script's console lines against a board on a serial port. Time is the wall
// clock from the start of the run, in the board's quanta so that the commands
// measure it as they do on the virtual board.
class SerialPortContext : public ScriptContext {
 public:
  SerialPortContext(int fd, const Script& script, bool verbose)
      : fd_(fd), script_(script), verbose_(verbose), start_(std::chrono::steady_clock::now()) {}

  RunEnd run() {
    try {
      for (const ScriptLine& line : script_.lines) {
        active_ = &line;
        if (verbose_) {
          std::fprintf(stderr, "%s  %s:%d: %s\n", formatTime(now()).c_str(), script_.name.c_str(), line.line,
                       shownSource(line.source).c_str());
        }
        StepStart start = line.step->begin(*this);
        if (start.kind == StepStart::Kind::Watch) watches_.push_back(&line);
        if (start.kind == StepStart::Kind::Wait) waitFor(line, now() + start.limit);
      }
    } catch (const Stop& stop) {
      std::fprintf(stderr, "tl500-sim: %s\n", stop.what());
      return RunEnd::Failed;
    }
    if (verbose_) std::fprintf(stderr, "tl500-sim: passed; the run ended at %s\n", formatTime(now()).c_str());
    return RunEnd::ScriptCompleted;
  }

  Time now() const override {
    auto elapsed = std::chrono::steady_clock::now() - start_;
    return static_cast<Time>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) *
           kQuantaPerMicrosecond / 1000;
  }

  void send(std::string_view line, std::string_view bytes) override {
    checkLine(line);
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) fail(std::string("cannot write to the serial port: ") + std::strerror(errno));
      done += static_cast<std::size_t>(n);
    }
  }

  const std::string& received(std::string_view line) const override {
    (void)line;
    return received_;
  }

  std::size_t& matchEnd(std::string_view line) override {
    checkLine(line);
    return matchEnd_;
  }

  void print(const std::string& text) override {
    std::string out = formatTime(now()) + "  " + text + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }

  bool mainReturned() const override { return false; }
  Board* board() override { return nullptr; }

 protected:
  void endWithFailure(const std::string& what) override {
    std::string where = active_ != nullptr ? script_.name + ":" + std::to_string(active_->line) + ": " +
                                                 shownSource(active_->source)
                                           : script_.name;
    std::string context = received_.empty() ? "no console output yet"
                          : received_.size() <= kContextBytes
                              ? "last console output: \"" + escapeText(received_) + "\""
                              : "last console output: ..\"" +
                                    escapeText(std::string_view(received_).substr(received_.size() - kContextBytes)) +
                                    "\"";
    throw Stop(StopKind::Failed, where + "\n  " + what + "\n  " + context);
  }

 private:
  void checkLine(std::string_view line) {
    if (line != "console") fail("only the console line reaches a board on a serial port, not " + std::string(line));
  }

  // Reads the port until the line's wait is over or its limit passes.
  void waitFor(const ScriptLine& line, Time deadline) {
    for (;;) {
      Time t = now();
      if (t >= deadline) {
        active_ = &line;
        line.step->onLimit(*this);
        return;
      }
      auto left = std::chrono::nanoseconds(static_cast<std::int64_t>(toSeconds(deadline - t) * 1e9));
      int timeoutMs = static_cast<int>(std::min<std::int64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1, 1000));
      pollfd pfd{fd_, POLLIN, 0};
      int ready = ::poll(&pfd, 1, timeoutMs);
      if (ready < 0 && errno != EINTR) fail(std::string("cannot read the serial port: ") + std::strerror(errno));
      if (ready <= 0) continue;
      char buffer[256];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) fail("the serial port closed");
      for (ssize_t i = 0; i < n; ++i) {
        received_.push_back(buffer[i]);
        for (const ScriptLine* watch : watches_) {
          active_ = watch;
          watch->step->onByte(*this, "console");
        }
        active_ = &line;
        if (line.step->onByte(*this, "console")) return;
      }
    }
  }

  int fd_;
  const Script& script_;
  bool verbose_;
  std::chrono::steady_clock::time_point start_;
  std::string received_;
  std::size_t matchEnd_ = 0;
  const ScriptLine* active_ = nullptr;
  std::vector<const ScriptLine*> watches_;
};

// Opens the port raw at 115200 8N1, no flow control.
int openPort(const std::string& device) {
  int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw std::runtime_error("cannot open " + device + ": " + std::strerror(errno));
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    throw std::runtime_error(device + " is not a serial port");
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARENB);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot set " + device + " to 115200 8N1: " + std::strerror(errno));
  }
  return fd;
}

}  // namespace

int runScriptOnSerialPort(const std::string& device, const std::string& scriptPath, bool verbose) {
  RunFiles files;
  Script script;
  try {
    script = parseScript(files.readInput("the script", scriptPath), scriptPath);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "tl500-sim: %s\n", e.what());
    return exitStatus(RunEnd::Refused);
  }
  // The whole script is checked before anything reaches the board.
  for (const ScriptLine& line : script.lines) {
    if (line.entry->virtualBoardOnly) {
      std::fprintf(stderr,
                   "tl500-sim: %s:%d: %s\n  '%s' needs the virtual board; a script for a real board on --port "
                   "may only use the console (nothing was sent)\n",
                   script.name.c_str(), line.line, shownSource(line.source).c_str(),
                   std::string(line.entry->keywords).c_str());
      return exitStatus(RunEnd::Refused);
    }
  }
  int fd = -1;
  try {
    fd = openPort(device);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "tl500-sim: %s\n", e.what());
    return exitStatus(RunEnd::Refused);
  }
  SerialPortContext context(fd, script, verbose);
  RunOutcome outcome;
  outcome.end = context.run();
  ::close(fd);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tl500-sim: writing to standard output failed\n");
    outcome.outputFailed = true;
  }
  return exitStatus(outcome);
}

}  // namespace sim
