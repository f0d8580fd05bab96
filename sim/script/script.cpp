#include "script.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "../devices/sensor_values.h"

namespace sim {

namespace {

constexpr const char* kPorts[] = {"console", "zigbee"};

struct Token {
  std::string value;
  bool quoted = false;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string quoted(const std::string& word) { return "'" + word + "'"; }

// One line of a script, split into words and quoted texts.
class LineParser {
 public:
  LineParser(const std::string& name, int lineNumber, std::string_view line)
      : name_(name), lineNumber_(lineNumber), line_(line) {
    tokenize();
  }

  bool empty() const { return tokens_.empty(); }
  std::string source() const { return std::string(line_.substr(start_, end_ - start_)); }

  [[noreturn]] void fail(const std::string& what) const { throw ScriptError(name_, lineNumber_, what); }

  bool atEnd() const { return next_ >= tokens_.size(); }
  // The next word without taking it; empty for a quoted text.
  std::string peekWord() const { return atEnd() || tokens_[next_].quoted ? std::string() : tokens_[next_].value; }

  std::string word(const std::string& expected) {
    if (atEnd()) fail("expected " + expected + " at the end of the line");
    const Token& t = tokens_[next_++];
    if (t.quoted) fail("expected " + expected + ", got the text \"" + escapeText(t.value) + "\"");
    return t.value;
  }

  std::string text() {
    if (atEnd()) fail("expected a text in double quotes at the end of the line");
    const Token& t = tokens_[next_++];
    if (!t.quoted) fail("expected a text in double quotes, got " + quoted(t.value));
    return t.value;
  }

  Time duration() {
    std::string w = word("a duration (250us, 10ms, 1.5s, 2min)");
    Time t = 0;
    if (!parseDuration(w, t)) fail(quoted(w) + " is not a duration (write e.g. 250us, 10ms, 1.5s, 2min)");
    return t;
  }

  // The remaining words of the line, joined by single spaces.
  std::string rest() {
    std::string out;
    while (!atEnd()) {
      const Token& t = tokens_[next_++];
      if (t.quoted) fail("expected a value, got the text \"" + escapeText(t.value) + "\"");
      if (!out.empty()) out += ' ';
      out += t.value;
    }
    return out;
  }

  void end() {
    if (atEnd()) return;
    const Token& t = tokens_[next_];
    fail("unexpected " + (t.quoted ? "text \"" + escapeText(t.value) + "\"" : quoted(t.value)) + " after the command");
  }

 private:
  void tokenize() {
    std::size_t i = 0;
    bool first = true;
    while (i < line_.size()) {
      char c = line_[i];
      if (isSpace(c)) {
        ++i;
        continue;
      }
      if (c == '#') break;
      if (first) start_ = i;
      first = false;
      Token token;
      if (c == '"') {
        token.quoted = true;
        i = readText(i + 1, token.value);
        if (i < line_.size() && !isSpace(line_[i]) && line_[i] != '#') {
          fail("expected a space after the closing quote");
        }
      } else {
        while (i < line_.size() && !isSpace(line_[i]) && line_[i] != '#') {
          if (line_[i] == '"') fail("a quote in the middle of " + quoted(std::string(line_.substr(0, i))));
          token.value.push_back(line_[i++]);
        }
      }
      end_ = i;
      tokens_.push_back(std::move(token));
    }
  }

  // Reads a quoted text from just after its opening quote; returns the index
  // just after the closing quote.
  std::size_t readText(std::size_t i, std::string& out) {
    while (i < line_.size()) {
      char c = line_[i++];
      if (c == '"') return i;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i >= line_.size()) break;
      char e = line_[i++];
      switch (e) {
        case 'r':
          out.push_back('\r');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '"':
          out.push_back('"');
          break;
        case 'x': {
          int hi = i < line_.size() ? hexDigit(line_[i]) : -1;
          int lo = i + 1 < line_.size() ? hexDigit(line_[i + 1]) : -1;
          if (hi < 0 || lo < 0) fail("\\x takes two hex digits, as in \\x1b");
          out.push_back(static_cast<char>(hi * 16 + lo));
          i += 2;
          break;
        }
        default:
          fail(std::string("unknown escape \\") + e + " (known: \\r \\n \\t \\\\ \\\" \\xNN)");
      }
    }
    fail("the text has no closing quote");
  }

  const std::string& name_;
  int lineNumber_;
  std::string_view line_;
  std::vector<Token> tokens_;
  std::size_t next_ = 0;
  std::size_t start_ = 0, end_ = 0;
};

std::string portList() {
  std::string list;
  for (const char* p : kPorts) list += (list.empty() ? "" : ", ") + std::string(p);
  return list;
}

ScriptCommand parseCommand(LineParser& p) {
  ScriptCommand cmd;
  std::string verb = p.word("a command");
  auto port = [&] {
    std::string w = p.word("a serial line (" + portList() + ")");
    if (!isScriptPort(w)) p.fail(quoted(w) + " is not a serial line of the board (known: " + portList() + ")");
    return w;
  };
  auto pin = [&] {
    std::string w = p.word("a pin such as PA8 or LED1");
    auto parsed = parsePin(w);
    if (!parsed) p.fail(quoted(w) + " is not a pin of the board (write e.g. PA8, PC13, LED1, DIP2)");
    return *parsed;
  };
  auto pinKeyword = [&] {
    std::string w = p.word("'pin'");
    if (w != "pin") p.fail("expected 'pin', got " + quoted(w));
  };

  if (verb == "send") {
    cmd.kind = ScriptCommand::Kind::Send;
    cmd.port = port();
    cmd.text = p.text();
  } else if (verb == "wait") {
    cmd.kind = ScriptCommand::Kind::Wait;
    cmd.port = port();
    cmd.text = p.text();
    if (cmd.text.empty()) p.fail("waiting for an empty text");
    cmd.duration = kDefaultWaitLimit;
    if (!p.atEnd()) {
      std::string w = p.word("'within'");
      if (w != "within") p.fail("expected 'within DURATION', got " + quoted(w));
      cmd.duration = p.duration();
    }
  } else if (verb == "run") {
    cmd.kind = ScriptCommand::Kind::Run;
    cmd.duration = p.duration();
  } else if (verb == "expect") {
    cmd.kind = ScriptCommand::Kind::ExpectPin;
    pinKeyword();
    cmd.pin = pin();
    std::string w = p.word("high or low");
    if (w == "high") {
      cmd.level = Level::High;
    } else if (w == "low") {
      cmd.level = Level::Low;
    } else {
      p.fail("expected high or low, got " + quoted(w));
    }
  } else if (verb == "set" && !p.atEnd() && p.peekWord() != "pin") {
    // set NAME VALUE: a physical value a sensor chip sees.
    cmd.kind = ScriptCommand::Kind::SetValue;
    std::string name = p.word("a sensor value name");
    std::string value = p.rest();
    try {
      SensorValueSetting setting = parseSensorValue(name, value);
      cmd.valueName = setting.name;
      cmd.values = setting.values;
    } catch (const SensorValueError& e) {
      p.fail(e.what());
    }
  } else if (verb == "set") {
    cmd.kind = ScriptCommand::Kind::SetPin;
    pinKeyword();
    cmd.pin = pin();
    std::string w = p.word("high, low or float");
    if (w == "high") {
      cmd.level = Level::High;
    } else if (w == "low") {
      cmd.level = Level::Low;
    } else if (w == "float") {
      cmd.level = std::nullopt;
    } else {
      p.fail("expected high, low or float, got " + quoted(w));
    }
  } else if (verb == "fault") {
    cmd.kind = ScriptCommand::Kind::Fault;
    std::string w = p.word("'i2c' or 'clear'");
    if (w == "i2c") {
      std::string error;
      auto address = parseI2cAddress(p.word("a 7-bit I2C address such as 0x40"), error);
      if (!address) p.fail(error);
      cmd.i2cAddress = *address;
      std::string kind;
      while (!p.atEnd()) kind += (kind.empty() ? "" : " ") + p.word("a fault kind");
      cmd.fault = parseI2cFault(kind, error);
      if (!cmd.fault) p.fail(error);
    } else if (w != "clear") {
      p.fail("expected 'i2c ADDRESS KIND' or 'clear' after fault, got " + quoted(w));
    }
  } else {
    p.fail("unknown command " + quoted(verb) + " (known: send, wait, run, expect pin, set pin, set NAME VALUE, fault)");
  }
  p.end();
  cmd.source = p.source();
  return cmd;
}

}  // namespace

ScriptError::ScriptError(const std::string& name, int line, const std::string& what)
    : std::runtime_error(line > 0 ? name + ":" + std::to_string(line) + ": " + what : name + ": " + what),
      line_(line) {}

bool isScriptPort(std::string_view name) {
  for (const char* p : kPorts) {
    if (name == p) return true;
  }
  return false;
}

Script parseScript(std::string_view text, const std::string& name) {
  Script script;
  script.name = name;
  int lineNumber = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    ++lineNumber;
    LineParser parser(name, lineNumber, line);
    if (parser.empty()) continue;
    ScriptCommand cmd = parseCommand(parser);
    cmd.line = lineNumber;
    script.commands.push_back(std::move(cmd));
  }
  return script;
}

Script loadScript(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScriptError(path, 0, "cannot read the script");
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw ScriptError(path, 0, "cannot read the script");
  return parseScript(content.str(), path);
}

std::string escapeText(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        }
    }
  }
  return out;
}

}  // namespace sim
