// A scenario file: a script for the virtual board whose leading comment lines
// say how its run must end, with the transcripts that lie beside it.
//
//   # args: --no-crystal --max-time 2s    extra arguments for tl500-sim (shell words)
//   # exit: 1                             the exit status expected (default 0)
//   # stderr: TEXT                        a text standard error must contain
//   # stderr-once: TEXT                   a text standard error must contain once only
//
// The header is every line from the top that starts with '#' (after blanks).
// <name>.console beside the script is the console transcript the run must
// give byte for byte, <name>.zigbee the bytes the board must send on USART3.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct ScenarioFile {
  std::string path;  // absolute
  std::string name;  // the file name without its extension
  std::vector<std::string> args;
  int expectedExit = 0;
  std::vector<std::string> stderrContains;
  std::vector<std::string> stderrOnce;
  std::optional<std::string> expectedConsole;  // path of <name>.console, when there is one
  std::optional<std::string> expectedZigbee;   // path of <name>.zigbee, when there is one
  // Set when the header cannot be used (an open quote in args, an exit status
  // that is no number from 0 to 255): the scenario fails with this message.
  std::string headerError;
};

// Reads the scenario's header and looks for its transcripts; throws
// std::runtime_error when the file cannot be read.
ScenarioFile readScenarioFile(const std::string& path);

// Splits a line into words as a POSIX shell does (blanks separate, '...' and
// "..." quote, a backslash takes the next byte), without expansions; nullopt
// when a quote is left open.
std::optional<std::vector<std::string>> splitShellWords(std::string_view line);

// The word quoted so that a POSIX shell reads it back as itself.
std::string shellQuote(std::string_view word);
// The words as one command line to paste into a shell.
std::string shellCommand(const std::vector<std::string>& words);

// The build date and time ("Dec  7 2026", "21:11:29") a board image's banner
// shows, found among the printable strings of the image; nullopt when either
// is missing.
struct BuildStamp {
  std::string date, time;
};
std::optional<BuildStamp> findBuildStamp(std::string_view image);

}  // namespace sim
