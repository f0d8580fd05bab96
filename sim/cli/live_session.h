// A live run: the console on the operator's terminal, a pseudo-terminal, or
// piped keys, with virtual time following the wall clock at the live pace.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sim/board.h"
#include "monitor.h"
#include "sim/endpoints/board_panel.h"
#include "sim/endpoints/terminal_endpoint.h"

namespace sim {

class LiveSession {
 public:
  struct Config {
    std::string console = "terminal";  // terminal, pty, pty:PATH
    bool waitAttach = false;
    bool linger = false;
    bool panel = true;  // the board panel at the bottom of an interactive terminal
  };

  // False, with a message, for a configuration that cannot work.
  static bool checkConfig(const Config& config, std::string& error);

  // Sets the terminal up or opens the pseudo-terminal; throws std::runtime_error.
  LiveSession(Board& board, Config config);
  ~LiveSession();
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  void start();
  // main has returned: with --linger the pseudo-terminal stays until a signal.
  void afterMainReturned();
  void restore();
  // The run ended before every piped key reached the board (--max-time): what
  // was left, and when the keys on their way were read; nullopt when none.
  std::optional<std::string> keysLeft();

 private:
  void makeLink(const std::string& path);

  Board& board_;
  Config config_;
  Monitor monitor_;
  std::string linkPath_;
  std::unique_ptr<TerminalEndpoint> terminal_;
  std::unique_ptr<PanelSource> panelSource_;
  std::unique_ptr<BoardPanel> panel_;
};

}  // namespace sim
