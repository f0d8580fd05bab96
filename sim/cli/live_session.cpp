#include "live_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/script/script.h"

namespace sim {

namespace {

// Where a symbolic link points; empty when `path` is none.
std::string linkTarget(const std::string& path) {
  char target[4096];
  ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
  return std::string(target, static_cast<std::size_t>(n));
}

}  // namespace

bool LiveSession::checkConfig(const Config& config, std::string& error) {
  bool pty = config.console == "pty" || config.console.rfind("pty:", 0) == 0;
  if (!pty && config.console != "terminal") {
    error = "--console takes terminal, pty or pty:PATH, not " + shownWord(config.console);
    return false;
  }
  if (config.console == "pty:") {
    error = "--console pty:PATH needs a path for the link";
    return false;
  }
  if (!pty && (config.waitAttach || config.linger)) {
    error = std::string(config.waitAttach ? "--wait-attach" : "--linger") + " needs --console pty";
    return false;
  }
  return true;
}

LiveSession::LiveSession(Board& board, Config config) : board_(board), config_(std::move(config)), monitor_(board) {
  using Mode = TerminalEndpoint::Mode;
  bool pty = config_.console != "terminal";
  Mode mode = pty ? Mode::Pty : isatty(0) ? Mode::Terminal : Mode::Stream;
  TerminalEndpoint::catchSignals();
  terminal_ = std::make_unique<TerminalEndpoint>(board_, mode);
  panelSource_ = std::make_unique<PanelSource>(board_);
  terminal_->setMonitor([this](int inFd, int outFd) { monitor_.run(inFd, outFd, TerminalEndpoint::endIfSignalled); });
  if (mode == Mode::Pty) {
    if (config_.console.rfind("pty:", 0) == 0) makeLink(config_.console.substr(4));
    std::fprintf(stderr, "console: %s\n", terminal_->ptyPath().c_str());
    if (!linkPath_.empty()) std::fprintf(stderr, "console link: %s\n", linkPath_.c_str());
    if (terminal_->hasControlTerminal()) std::fprintf(stderr, "tl500-sim: Ctrl-] here opens the monitor\n");
  } else if (mode == Mode::Terminal) {
    std::fprintf(stderr, "tl500-sim: console on this terminal; Ctrl-] opens the monitor\r\n");
    // The panel shares the terminal with the console, never a pipe or a file.
    if (config_.panel && isatty(1)) panel_ = std::make_unique<BoardPanel>(board_, 1, *panelSource_);
  }
}

LiveSession::~LiveSession() {
  restore();
  panel_.reset();
  // The link goes only while it is still ours: another run may have taken the name meanwhile.
  if (!linkPath_.empty() && linkTarget(linkPath_) == terminal_->ptyPath()) ::unlink(linkPath_.c_str());
  terminal_.reset();
}


// A stable name for the pseudo-terminal, for a terminal program's saved
// settings. A link left by an earlier run (one to a pseudo-terminal) is
// replaced; anything else at that path, a link to a file of the user's
// included, is left alone and the run refused.
void LiveSession::makeLink(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) throw std::runtime_error("--console pty:" + path + ": the path exists and is not a link");
    if (!linkTarget(path).starts_with("/dev/pts/")) {
      throw std::runtime_error("--console pty:" + path + ": the path is a link to " + shownWord(linkTarget(path)) +
                               ", not one tl500-sim made to a pseudo-terminal; it is left alone");
    }
    ::unlink(path.c_str());
  }
  if (::symlink(terminal_->ptyPath().c_str(), path.c_str()) != 0) {
    throw std::runtime_error("--console pty:" + path + ": cannot make the link: " + std::strerror(errno));
  }
  linkPath_ = path;
}

void LiveSession::start() {
  if (config_.waitAttach) {
    std::fprintf(stderr, "tl500-sim: the board is held in reset until a program opens %s\n",
                 terminal_->ptyPath().c_str());
    terminal_->waitForAttach();
  }
  terminal_->start();
  if (panel_) panel_->start();
}

void LiveSession::afterMainReturned() {
  if (!config_.linger) return;
  std::fprintf(stderr, "tl500-sim: main returned; %s stays open until a signal\n", terminal_->ptyPath().c_str());
  terminal_->linger();
}

std::optional<std::string> LiveSession::keysLeft() {
  if (!terminal_) return std::nullopt;
  std::vector<Time> onTheirWay = board_.console().undelivered();
  std::size_t unread = terminal_->unreadKeys();
  if (onTheirWay.empty() && unread == 0) return std::nullopt;
  std::string message = "the run ended before every piped key reached the board:";
  if (!onTheirWay.empty()) {
    message += " " + std::to_string(onTheirWay.size()) + " key(s) read at " + formatTime(onTheirWay.front()) +
               (onTheirWay.back() != onTheirWay.front() ? " to " + formatTime(onTheirWay.back()) : "") +
               " were still on their way to USART1";
  }
  if (unread != 0) {
    message += std::string(onTheirWay.empty() ? " " : "; ") + std::to_string(unread) +
               (unread >= TerminalEndpoint::kMaxCountedKeys ? " or more" : "") + " key(s) were never read";
  }
  return message;
}

void LiveSession::restore() {
  if (panel_) panel_->restore();
  if (terminal_) terminal_->restore();
}

}  // namespace sim
