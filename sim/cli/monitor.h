// The live monitor: one command line that Ctrl-] opens during a live run.
// Virtual time stands still while it is open. It shows every named pin with
// its level and what drives it, changes what the outside world does (`set
// pin`, and every other script command that acts at once), tells the time,
// and goes on (`continue`) or ends the run (`quit`).
#pragma once

#include <functional>
#include <string>

#include "sim/board.h"

namespace sim {

class Monitor {
 public:
  static constexpr const char* kPrompt = "monitor> ";

  explicit Monitor(Board& board) : board_(board) {}

  // Reads commands from `inFd` (a terminal in raw mode) and answers on
  // `outFd` until `continue`. `quit` throws Stop(UserQuit); `checkSignals`
  // throws when a signal has come.
  void run(int inFd, int outFd, const std::function<void()>& checkSignals);

  // Carries out one command line; the answer to show. Sets `done` on continue.
  std::string execute(const std::string& line, bool& done);

 private:
  std::string pins();

  Board& board_;
};

}  // namespace sim
