#include "script.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "command_table.h"
#include "pattern.h"


namespace sim {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Control bytes, DEL and everything beyond ASCII as \xNN; the rest as is.
std::string escapeUnprintable(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(ch);
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace

// ------------------------------------------------------------------ errors

ScriptError::ScriptError(const std::string& name, int line, const std::string& what)
    : std::runtime_error(line > 0 ? name + ":" + std::to_string(line) + ": " + what : name + ": " + what),
      line_(line) {}

// ------------------------------------------------------------------ words

ScriptWords::ScriptWords(const std::string& name, int lineNumber, std::string_view line)
    : name_(name), lineNumber_(lineNumber), line_(line) {
  tokenize();
}

std::string ScriptWords::source() const { return std::string(line_.substr(start_, end_ - start_)); }

void ScriptWords::fail(const std::string& what) const { throw ScriptError(name_, lineNumber_, what); }

std::string ScriptWords::describe(const Token& t) const {
  switch (t.kind) {
    case Token::Kind::Text:
      return "the text \"" + escapeText(t.value.substr(0, kMaxShownBytes)) +
             (t.value.size() > kMaxShownBytes ? "\"..." : "\"");
    case Token::Kind::Pattern:
      return "the pattern /" + escapeUnprintable(t.value.substr(0, kMaxShownBytes)) +
             (t.value.size() > kMaxShownBytes ? "/..." : "/");
    case Token::Kind::Word:
      break;
  }
  return shownWord(t.value);
}

std::string ScriptWords::word(const std::string& expected) {
  if (atEnd()) fail("expected " + expected + " at the end of the line");
  const Token& t = tokens_[next_];
  if (t.kind != Token::Kind::Word) fail("expected " + expected + ", got " + describe(t));
  ++next_;
  return t.value;
}

std::string ScriptWords::peekWord() const {
  if (atEnd() || tokens_[next_].kind != Token::Kind::Word) return {};
  return tokens_[next_].value;
}

void ScriptWords::keyword(std::string_view keyword) {
  std::string w = word("'" + std::string(keyword) + "'");
  if (w != keyword) fail("expected '" + std::string(keyword) + "', got " + shownWord(w));
}

bool ScriptWords::optionalKeyword(std::string_view keyword) {
  if (peekWord() != keyword) return false;
  ++next_;
  return true;
}

std::string ScriptWords::text() {
  if (atEnd()) fail("expected a text in double quotes at the end of the line");
  const Token& t = tokens_[next_];
  if (t.kind != Token::Kind::Text) fail("expected a text in double quotes, got " + describe(t));
  ++next_;
  return t.value;
}

bool ScriptWords::nextIsPattern() const { return !atEnd() && tokens_[next_].kind == Token::Kind::Pattern; }

std::string ScriptWords::pattern() {
  if (atEnd()) fail("expected a pattern between slashes at the end of the line");
  const Token& t = tokens_[next_];
  if (t.kind != Token::Kind::Pattern) fail("expected a pattern between slashes, got " + describe(t));
  if (t.value.empty()) fail("the pattern // matches anything: write what to wait for");
  try {
    compilePattern(t.value);
  } catch (const std::invalid_argument& e) {
    fail(describe(t) + " is not a valid pattern: " + e.what());
  }
  ++next_;
  return t.value;
}

Time ScriptWords::duration() {
  std::string w = word("a duration (250us, 10ms, 1.5s, 2min)");
  Time t = 0;
  switch (parseDuration(w, t)) {
    case DurationError::None:
      return t;
    case DurationError::TooLong:
      fail(shownWord(w) + " is too long (at most " + maxDurationText() + ")");
    case DurationError::NotADuration:
      break;
  }
  fail(shownWord(w) + " is not a duration (write e.g. 250us, 10ms, 1.5s, 2min)");
}

Time ScriptWords::optionalDuration(std::string_view keyword, Time otherwise) {
  if (atEnd()) return otherwise;
  std::string w = peekWord();
  if (w != keyword) {
    fail("expected '" + std::string(keyword) + " DURATION' or the end of the line, got " + describe(tokens_[next_]));
  }
  ++next_;
  return duration();
}

PinName ScriptWords::pin() {
  std::string w = word("a pin such as PC7 or LED1");
  auto parsed = findPin(w);
  if (!parsed) fail(shownWord(w) + " is not a pin of the board (write a port pin such as PC7, or a board name such as LED1)");
  return *parsed;
}

void ScriptWords::end() const {
  if (atEnd()) return;
  // "unexpected text "..."", not "unexpected the text "..."".
  std::string what = describe(tokens_[next_]);
  if (what.starts_with("the ")) what.erase(0, 4);
  fail("unexpected " + what + " after the command");
}

void ScriptWords::tokenize() {
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
    if (c == '"' || c == '/') {
      token.kind = c == '"' ? Token::Kind::Text : Token::Kind::Pattern;
      i = c == '"' ? readText(i + 1, token.value) : readPattern(i + 1, token.value);
      if (i < line_.size() && !isSpace(line_[i]) && line_[i] != '#') {
        fail(std::string("expected a space after the closing ") + (c == '"' ? "quote" : "slash"));
      }
    } else {
      std::size_t from = i;
      while (i < line_.size() && !isSpace(line_[i]) && line_[i] != '#') {
        if (line_[i] == '"') fail("a quote in the middle of " + shownWord(line_.substr(from, i - from + 1)));
        token.value.push_back(line_[i++]);
      }
    }
    end_ = i;
    tokens_.push_back(std::move(token));
  }
}

// Reads a quoted text from just after its opening quote; returns the index
// just after the closing quote.
std::size_t ScriptWords::readText(std::size_t i, std::string& out) {
  std::size_t end = i;
  while (end < line_.size() && line_[end] != '"') end += line_[end] == '\\' ? 2 : 1;
  if (end >= line_.size()) fail("the text has no closing quote");
  std::string error;
  if (!unescapeText(std::string_view(line_).substr(i, end - i), out, error)) fail(error);
  return end + 1;
}

// Reads a pattern from just after its opening slash; `\/` is a slash, every
// other escape is the pattern's own.
std::size_t ScriptWords::readPattern(std::size_t i, std::string& out) {
  while (i < line_.size()) {
    char c = line_[i++];
    if (c == '/') return i;
    if (c == '\\' && i < line_.size()) {
      char e = line_[i++];
      if (e != '/') out.push_back('\\');
      out.push_back(e);
      continue;
    }
    out.push_back(c);
  }
  fail("the pattern has no closing slash");
}

// ------------------------------------------------------------------ scripts

namespace {

ScriptLine parseLine(ScriptWords& words, const std::string& name, int lineNumber) {
  // The longest run of leading words that names a command.
  std::vector<std::string> leading;
  ScriptWords probe = words;
  while (!probe.atEnd() && leading.size() < 4) {
    std::string w = probe.peekWord();
    if (w.empty()) break;
    leading.push_back(probe.word("a word"));
  }
  const ScriptCommandEntry* entry = findScriptCommand(leading);
  if (entry == nullptr) {
    std::string known;
    for (const auto& e : scriptCommands()) known += (known.empty() ? "" : ", ") + std::string(e.keywords);
    if (leading.empty()) words.fail("expected a command, got " + words.source());
    words.fail("unknown command " + shownWord(leading[0]) + " (known: " + known + ")");
  }
  // Take the keywords, then let the command read the rest.
  std::size_t count = 1;
  for (char c : entry->keywords) count += c == ' ' ? 1 : 0;
  for (std::size_t k = 0; k < count; ++k) (void)words.word("a word");
  ScriptLine line;
  line.line = lineNumber;
  line.entry = entry;
  line.step = entry->parse(words);
  words.end();
  line.source = words.source();
  (void)name;
  return line;
}

}  // namespace

std::optional<ScriptLine> parseScriptLine(std::string_view text, const std::string& name, int lineNumber) {
  ScriptWords words(name, lineNumber, text);
  if (words.empty()) return std::nullopt;
  return parseLine(words, name, lineNumber);
}

Script parseScript(std::string_view text, const std::string& name) {
  Script script;
  script.name = name;
  int lineNumber = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // A line ends at LF, CR LF, or a CR alone (old Mac files).
    std::size_t eol = text.find_first_of("\r\n", pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (eol < text.size() && text[eol] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    ++lineNumber;
    if (auto parsed = parseScriptLine(line, name, lineNumber)) script.lines.push_back(std::move(*parsed));
  }
  return script;
}

Script loadScript(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw ScriptError(path, 0, std::string("cannot read the script: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw ScriptError(path, 0, "is a directory, not a script");
  if (!S_ISREG(st.st_mode)) throw ScriptError(path, 0, "is not a regular file; a script is a text file");
  if (static_cast<std::uint64_t>(st.st_size) > kMaxScriptBytes) {
    throw ScriptError(path, 0, "is larger than 16 MiB; that is not a script");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScriptError(path, 0, "cannot read the script");
  // Read at most one byte past the limit: the file may have grown since stat.
  std::string content(kMaxScriptBytes + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (in.bad()) throw ScriptError(path, 0, "cannot read the script");
  content.resize(static_cast<std::size_t>(in.gcount()));
  if (content.size() > kMaxScriptBytes) throw ScriptError(path, 0, "is larger than 16 MiB; that is not a script");
  return parseScript(content, path);
}

// ------------------------------------------------------------------ texts

bool unescapeText(std::string_view text, std::string& out, std::string& error) {
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i++];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i >= text.size()) {
      error = "a text may not end in a lone \\";
      return false;
    }
    char e = text[i++];
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
      case '"':
        out.push_back(e);
        break;
      case 'x': {
        int hi = i < text.size() ? hexDigit(text[i]) : -1;
        int lo = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
          error = "\\x takes two hex digits, as in \\x1b";
          return false;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        error = "unknown escape " + shownWord(std::string("\\") + e) + " (known: \\r \\n \\t \\\\ \\\" \\xNN)";
        return false;
    }
  }
  return true;
}

std::string escapeText(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    switch (ch) {
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
        out += escapeUnprintable(std::string_view(&ch, 1));
    }
  }
  return out;
}

std::string shownWord(std::string_view word) {
  if (word.size() <= kMaxShownBytes) return "'" + escapeUnprintable(word) + "'";
  return "'" + escapeUnprintable(word.substr(0, kMaxShownBytes)) + "'...";
}

std::string shownSource(std::string_view line) {
  constexpr std::size_t kMax = 120;
  if (line.size() <= kMax) return escapeUnprintable(line);
  return escapeUnprintable(line.substr(0, kMax)) + "...";
}

std::string shownText(std::string_view text) {
  constexpr std::size_t kMax = 120;
  if (text.size() <= kMax) return "\"" + escapeText(text) + "\"";
  return "\"" + escapeText(text.substr(0, kMax)) + "\"... (" + std::to_string(text.size()) + " bytes)";
}

// ------------------------------------------------------------------ pins

std::string pinLabel(PinName pin) {
  const BoardPin* named = boardPin(pin);
  return named != nullptr ? pinText(pin) + " (" + named->name + ")" : pinText(pin);
}

}  // namespace sim
