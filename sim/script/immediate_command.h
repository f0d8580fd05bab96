// One script command run at once outside a script: options such as --set at
// power-on and the live monitor's commands. Only commands that act at once
// (set, print, ...) can run this way.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "../board.h"
#include "command_table.h"

namespace sim {

class ImmediateCommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs a parsed line on the board now; throws ImmediateCommandError when it
// fails or would have to wait.
void runImmediate(Board& board, ScriptLine& line, std::FILE* out);

}  // namespace sim
