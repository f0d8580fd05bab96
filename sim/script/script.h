// Scenario scripts: a line-oriented description of what the outside world does
// to the board and what it expects to see, one command a line, '#' starts a
// comment. The commands themselves live in a table (command_table.h) that the
// parser, tl500-sim --help and the README are made from; this file holds the
// notation they share (words, texts, patterns, durations, pins) and the
// script's structure.
//
// Texts are in double quotes with the escapes \r \n \t \\ \" \xNN; patterns
// are between slashes (/IoT .* Test/, RE2 syntax over bytes, \/ for a slash, see pattern.h);
// durations are a number and a unit: 250us, 10ms, 1.5s, 2min.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../board.h"
#include "../core/virtual_time.h"
#include "script_step.h"

namespace sim {

// Limit of a wait that names none.
inline constexpr Time kDefaultWaitLimit = seconds(10);
// Largest script file read: more is not a script (and /dev/zero never ends).
inline constexpr std::size_t kMaxScriptBytes = 16u << 20;
// Longest word or text quoted back in a message; longer ones are cut.
inline constexpr std::size_t kMaxShownBytes = 40;

struct ScriptCommandEntry;

// One command of a script with the line it came from.
struct ScriptLine {
  int line = 0;                                // 1-based line number in the script file
  std::string source;                          // the line as written, without its comment
  const ScriptCommandEntry* entry = nullptr;   // the command of the table
  std::unique_ptr<ScriptStep> step;            // what it does when it runs
};

struct Script {
  std::string name;  // file name used in messages
  std::vector<ScriptLine> lines;
};

// A syntax error, naming the line.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(const std::string& name, int line, const std::string& what);
  int line() const { return line_; }

 private:
  int line_;
};

// The words of one script line, read one after the other by the command's
// parser. Every refusal names the line and shows the offending word safely.
class ScriptWords {
 public:
  ScriptWords(const std::string& name, int lineNumber, std::string_view line);

  bool empty() const { return tokens_.empty(); }
  bool atEnd() const { return next_ >= tokens_.size(); }
  // The line as written, from its first word to its last, without the comment.
  std::string source() const;

  [[noreturn]] void fail(const std::string& what) const;

  // A bare word; `expected` says what in a refusal.
  std::string word(const std::string& expected);
  // The next bare word without taking it; empty at the end or before a text.
  std::string peekWord() const;
  // Takes the bare word `keyword` exactly, or refuses the line.
  void keyword(std::string_view keyword);
  // Takes `keyword` if it is next; false (nothing taken) otherwise.
  bool optionalKeyword(std::string_view keyword);
  // A text in double quotes.
  std::string text();
  // A pattern between slashes (see pattern.h); refused when it does not compile.
  std::string pattern();
  bool nextIsPattern() const;
  Time duration();
  // "KEYWORD DURATION" if KEYWORD comes next, else `otherwise`.
  Time optionalDuration(std::string_view keyword, Time otherwise);
  // A pin by port name (PC7, pc7) or board name (LED1).
  PinName pin();
  // Refuses anything left on the line.
  void end() const;

  // Position of the word reader, for commands with alternatives.
  std::size_t position() const { return next_; }

 private:
  struct Token {
    std::string value;
    enum class Kind { Word, Text, Pattern } kind = Kind::Word;
  };
  void tokenize();
  std::size_t readText(std::size_t i, std::string& out);
  std::size_t readPattern(std::size_t i, std::string& out);
  std::string describe(const Token& t) const;

  const std::string& name_;
  int lineNumber_;
  std::string_view line_;
  std::vector<Token> tokens_;
  std::size_t next_ = 0;
  std::size_t start_ = 0, end_ = 0;
};

// Parses a whole script; throws ScriptError at the first error. Lines end at
// LF, CR LF or a lone CR.
Script parseScript(std::string_view text, const std::string& name);
// Parses one line (the monitor's input); nullopt for a blank or comment line.
std::optional<ScriptLine> parseScriptLine(std::string_view line, const std::string& name, int lineNumber);
// Reads and parses a script file. Anything that is not a regular file of at
// most kMaxScriptBytes, or cannot be read, is a ScriptError at line 0.
Script loadScript(const std::string& path);

// A text's bytes from the script's notation (the inside of "..."): the
// escapes \r \n \t \\ \" \xNN decoded and appended to `out`; false, with
// `error`, for an unknown or unfinished escape.
bool unescapeText(std::string_view text, std::string& out, std::string& error);
// Bytes in the script's own notation, for messages: printable ASCII as is,
// \r \n \t \\ \" and \xNN for the rest.
std::string escapeText(std::string_view bytes);
// A word as a message may show it: control and non-ASCII bytes escaped, cut
// to kMaxShownBytes, in single quotes. A script cannot reach the user's
// terminal through it.
std::string shownWord(std::string_view word);
// A script line as a message may show it: control and non-ASCII bytes
// escaped, cut after 120 bytes.
std::string shownSource(std::string_view line);

// A text as a message may show it: in double quotes, in the script's
// notation, cut after 120 bytes as a script line is.
std::string shownText(std::string_view text);

// "PC7" or "PC7 (LED1)" for messages.
std::string pinLabel(PinName pin);

}  // namespace sim
