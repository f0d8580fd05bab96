#include "live_session.h"

#include <unistd.h>

#include <cstdio>

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

LiveSession::LiveSession(Board& board, Config config) : board_(board), config_(std::move(config)) {
  using Mode = TerminalEndpoint::Mode;
  bool pty = config_.console != "terminal";
  Mode mode = pty ? Mode::Pty : isatty(0) ? Mode::Terminal : Mode::Stream;
  TerminalEndpoint::catchSignals();
  terminal_ = std::make_unique<TerminalEndpoint>(board_, mode);
  if (mode == Mode::Pty) {
    std::fprintf(stderr, "console: %s\n", terminal_->ptyPath().c_str());
  } else if (mode == Mode::Terminal) {
    std::fprintf(stderr, "tl500-sim: console on this terminal; Ctrl-] ends the run\r\n");
  }
}

LiveSession::~LiveSession() { restore(); }

void LiveSession::start() { terminal_->start(); }

void LiveSession::afterMainReturned() {}

void LiveSession::restore() {
  if (terminal_) terminal_->restore();
}

}  // namespace sim
