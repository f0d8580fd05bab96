#include "monitor.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sim/core/stop.h"
#include "sim/core/held_time.h"
#include "sim/script/command_table.h"
#include "sim/script/immediate_command.h"

namespace sim {

namespace {

constexpr std::size_t kMaxLine = 200;

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The terminal is in raw mode: line ends are CR LF.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string trim(const std::string& text) {
  std::size_t a = text.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  std::size_t b = text.find_last_not_of(" \t");
  return text.substr(a, b - a + 1);
}

}  // namespace

void Monitor::run(int inFd, int outFd, const std::function<void()>& checkSignals) {
  // Virtual time stands still for the operator, not for a stuck firmware.
  HeldTime held;
  writeAll(outFd, crlf("\n[monitor at " + formatTime(board_.clock().now()) +
                       "; virtual time stands still. pins, set pin PIN high|low|float, time, continue, quit]\n") +
                      kPrompt);
  std::string line;
  for (;;) {
    checkSignals();
    pollfd pfd{inFd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, 100);
    if (ready <= 0) continue;
    char c = 0;
    ssize_t n = ::read(inFd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) throw Stop(StopKind::UserQuit, "the terminal hung up in the monitor");
    if (c == '\r' || c == '\n') {
      writeAll(outFd, "\r\n");
      bool done = false;
      std::string answer = execute(trim(line), done);
      line.clear();
      if (!answer.empty()) writeAll(outFd, crlf(answer));
      if (done) return;
      writeAll(outFd, kPrompt);
    } else if (c == 0x7F || c == 0x08) {
      if (!line.empty()) {
        line.pop_back();
        writeAll(outFd, "\b \b");
      }
    } else if (c == 0x03) {  // Ctrl-C: forget the line
      line.clear();
      writeAll(outFd, std::string("^C\r\n") + kPrompt);
    } else if (c == 0x1D) {  // Ctrl-] again: back to the run
      writeAll(outFd, "\r\n");
      return;
    } else if (static_cast<unsigned char>(c) >= 0x20 && line.size() < kMaxLine) {
      line.push_back(c);
      writeAll(outFd, std::string(1, c));
    }
  }
}

std::string Monitor::execute(const std::string& line, bool& done) {
  done = false;
  if (line.empty()) return {};
  if (line == "continue" || line == "c") {
    done = true;
    return "[continuing at " + formatTime(board_.clock().now()) + "]\n";
  }
  if (line == "quit" || line == "q") throw Stop(StopKind::UserQuit, "ended from the monitor");
  if (line == "time") return formatTime(board_.clock().now()) + " of virtual time\n";
  if (line == "pins") return pins();
  if (line == "help" || line == "?") {
    std::string text = "pins | time | continue | quit";
    for (const auto& entry : scriptCommands()) {
      if (!entry.monitor) continue;
      for (const auto& form : entry.forms) text += " | " + std::string(entry.keywords) + " " + std::string(form.arguments);
    }
    return text + "\n";
  }
  try {
    auto parsed = parseScriptLine(line, "monitor", 1);
    if (!parsed) return {};
    runImmediate(board_, *parsed, stdout);
    return "ok\n";
  } catch (const ScriptError& e) {
    return std::string(e.what()) + "\n";
  } catch (const ImmediateCommandError& e) {
    return std::string("monitor: ") + e.what() + "\n";
  }
}

std::string Monitor::pins() {
  std::string out;
  for (const BoardPin& p : boardPins()) {
    Net& net = board_.net(p.pin);
    char row[160];
    std::snprintf(row, sizeof row, "%-11s %-5s %-4s  ", p.name, pinText(p.pin).c_str(), levelName(net.level()));
    out += row + net.describeDrivers() + "\n";
  }
  return out;
}

}  // namespace sim
