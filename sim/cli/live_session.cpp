#include "live_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/script/script.h"

namespace sim {

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
  terminal_.reset();
  if (!linkPath_.empty()) ::unlink(linkPath_.c_str());
}

// A stable name for the pseudo-terminal, for a terminal program's saved
// settings. An old link is replaced; anything else at that path is left alone.
void LiveSession::makeLink(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) throw std::runtime_error("--console pty:" + path + ": the path exists and is not a link");
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

void LiveSession::restore() {
  if (panel_) panel_->restore();
  if (terminal_) terminal_->restore();
}

}  // namespace sim
