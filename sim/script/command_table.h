// The table of script commands. The parser, tl500-sim --help, the monitor and
// the README's script section are all made from it, so a command exists
// everywhere or nowhere.
//
// A command is added with one registration in the file that implements it:
//
//   namespace {
//   std::unique_ptr<sim::ScriptStep> parseBeep(sim::ScriptWords& words) { ... }
//   const sim::ScriptCommandRegistration kBeep{{
//       .keywords = "beep",
//       .forms = {{"DURATION", "sound the buzzer for DURATION"}},
//       .parse = parseBeep,
//       .virtualBoardOnly = true,
//   }};
//   }  // namespace
//
// A serial line that `send` and `wait` may name is added the same way with a
// ScriptSerialLineRegistration.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../core/listeners.h"
#include "script.h"

namespace sim {

// One way of writing a command, for the help.
struct ScriptCommandForm {
  std::string_view arguments;  // "PIN high|low [within D]"
  std::string_view meaning;    // one sentence
};

struct ScriptCommandEntry {
  std::string_view keywords;  // the leading words that select it: "wait pin"
  std::vector<ScriptCommandForm> forms;
  // Reads the words after the keywords; refuses with words.fail().
  std::unique_ptr<ScriptStep> (*parse)(ScriptWords& words) = nullptr;
  // Pins, sensors, faults: only on the virtual board; refused up front when a
  // script runs against a real board.
  bool virtualBoardOnly = false;
  // Acts at once and may be typed in the live monitor.
  bool monitor = false;
};

class ScriptCommandRegistration {
 public:
  explicit ScriptCommandRegistration(ScriptCommandEntry entry);
};

// Every command, ordered by keywords.
const std::vector<ScriptCommandEntry>& scriptCommands();
// The command a line starts with: the entry whose keywords match the most
// leading words; nullptr when none does.
const ScriptCommandEntry* findScriptCommand(const std::vector<std::string>& leadingWords);

// A byte sent to the board that it never received: when it was sent, and why.
using LostListener = std::function<void(std::uint8_t byte, Time sentAt, const std::string& reason)>;

// A serial line of the board a script may name in `send` and `wait`.
struct ScriptSerialLine {
  std::string_view name;   // "console"
  std::string_view about;  // "USART1, the operator's terminal"
  // The end that hears what the board sends on the line (and, without `send`,
  // sends to it).
  SerialEndpoint& (*endpoint)(Board& board) = nullptr;
  // How bytes reach the board when something stands between the far end and
  // the line (a radio module); nullptr: straight from `endpoint`.
  void (*send)(Board& board, std::string_view bytes) = nullptr;
  // With `send`: what that in-between part loses of the bytes (a module in
  // reset drops them) and when each byte not yet at the board was sent;
  // nullptr: only what `endpoint` loses and holds.
  Subscription (*onDropped)(Board& board, LostListener listener) = nullptr;
  std::vector<Time> (*undelivered)(Board& board) = nullptr;
  // The board's port on the line ("USART3"), named when a wait on a line other
  // than the console fails, beside what the board sent there.
  std::string_view boardPort;
};

class ScriptSerialLineRegistration {
 public:
  explicit ScriptSerialLineRegistration(ScriptSerialLine line);
};

const std::vector<ScriptSerialLine>& scriptSerialLines();
const ScriptSerialLine* findScriptSerialLine(std::string_view name);
// "console, zigbee"
std::string serialLineNames();

// The script language for tl500-sim --help: every command with its forms, the
// notation, the serial lines and the pin names.
std::string scriptLanguageHelp();
// The same commands as a Markdown table, for the README.
std::string scriptCommandsMarkdown();

}  // namespace sim
