// What a tl500-sim command line asks for, read and checked before anything
// is built: the script, the expected console, what --set does at power-on,
// the time limit, the board image, the live console's mode.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "live_session.h"
#include "run_files.h"
#include "sim/core/virtual_time.h"
#include "sim/cpu/image_loader.h"
#include "sim/script/script.h"

namespace sim {

// The options as given.
struct CommandLine {
  std::string script;
  std::string console = "terminal";
  std::string consoleLog;
  std::string expectConsole;
  std::string maxTime;
  std::string port;
  std::string image;
  std::optional<std::uint16_t> gdbPort;
  std::vector<std::string> sets;
  bool stats = false;
  bool noPollSkip = false;
  bool noPanel = false;
  bool noCrystal = false;
  bool verbose = false;
  bool waitAttach = false;
  bool linger = false;
  bool markdown = false;
};

// The options read and checked.
struct RunPlan {
  std::chrono::steady_clock::time_point started;  // for the wall time of --stats
  std::optional<Script> script;                   // none: a live run
  std::optional<std::string> expectedConsole;     // build date and time in place
  std::vector<ScriptLine> atPowerOn;              // from --set
  std::optional<Time> maxTime;
  std::optional<BoardImage> image;
  LiveSession::Config live;
};

// Reads the inputs (noting them in `files`, so no output can overwrite one)
// and checks the options; nullopt once the reason has been said: the command
// line is refused.
std::optional<RunPlan> makePlan(const CommandLine& options, RunFiles& files);

// "tl500-sim: MESSAGE" on standard error.
void say(const std::string& message);
// A refused command line: the message and where help is; the exit status.
int usageError(const std::string& message);

}  // namespace sim
