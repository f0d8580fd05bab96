// Scenario scripts: a line-oriented description of what the outside world does
// to the board and what it expects to see.
//
//   # comment                         (also after a command)
//   send console "0\r"                bytes the board receives on that line
//   wait console "Menu" within 2s     run until the text has come out
//   run 10ms                          let time pass
//   expect pin PA8 high               the level of a pin now
//   set pin PC7 low                   drive a pin from outside (high|low|float)
//   set htu21.temperature 23.4        a physical value a sensor chip sees
//   fault i2c 0x40 nack-data 1        a fault on the chip at that I2C address
//   fault clear                       every fault ends
//
// Texts are in double quotes with the escapes \r \n \t \\ \" \xNN; durations
// are a number and a unit: 250us, 10ms, 1.5s, 2min.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../board.h"
#include "../core/virtual_time.h"
#include "../devices/i2c_faults.h"

namespace sim {

// Limit of a wait that names none.
inline constexpr Time kDefaultWaitLimit = seconds(10);

struct ScriptCommand {
  enum class Kind { Send, Wait, Run, ExpectPin, SetPin, SetValue, Fault };

  Kind kind = Kind::Run;
  int line = 0;                   // 1-based line number in the script file
  std::string source;             // the line as written, without its comment
  std::string port;               // send, wait: the serial line ("console")
  std::string text;               // send, wait: the bytes
  Time duration = 0;              // run: how long; wait: the limit
  PinName pin{'A', 0};            // expect, set
  std::optional<Level> level;     // expect: the level; set: the level, nullopt = float
  std::string valueName;          // set NAME VALUE: the sensor value
  std::vector<double> values;     // set NAME VALUE: its components, checked against the range
  std::uint8_t i2cAddress = 0;    // fault i2c: the chip's 7-bit address
  std::optional<I2cFault> fault;  // fault i2c: the fault; nullopt: fault clear
};

struct Script {
  std::string name;  // file name used in messages
  std::vector<ScriptCommand> commands;
};

// A syntax error, naming the line.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(const std::string& name, int line, const std::string& what);
  int line() const { return line_; }

 private:
  int line_;
};

// Serial lines a script may name.
bool isScriptPort(std::string_view name);

// Parses a whole script; throws ScriptError at the first error.
Script parseScript(std::string_view text, const std::string& name);
// Reads and parses a script file; a file that cannot be read is a ScriptError
// at line 0.
Script loadScript(const std::string& path);

// Bytes in the script's own notation, for messages: printable ASCII as is,
// \r \n \t \\ \" and \xNN for the rest.
std::string escapeText(std::string_view bytes);

}  // namespace sim
