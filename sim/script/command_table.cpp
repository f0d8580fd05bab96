#include "command_table.h"

#include <algorithm>

namespace sim {

namespace {

// Function-local so registrations in other files find them constructed,
// whatever order the files are initialised in.
std::vector<ScriptCommandEntry>& commandTable() {
  static std::vector<ScriptCommandEntry> table;
  return table;
}

std::vector<ScriptSerialLine>& serialLineTable() {
  static std::vector<ScriptSerialLine> table;
  return table;
}

std::vector<std::string> splitWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) words.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return words;
}

// Wraps `text` to `width` columns, every line after the first indented by `indent`.
std::string wrap(std::string_view text, std::size_t width, std::size_t indent) {
  std::string out, line;
  for (const auto& w : splitWords(text)) {
    if (!line.empty() && line.size() + 1 + w.size() > width) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + w;
  }
  return out + line;
}

}  // namespace

ScriptCommandRegistration::ScriptCommandRegistration(ScriptCommandEntry entry) {
  auto& table = commandTable();
  auto at = std::lower_bound(table.begin(), table.end(), entry.keywords,
                             [](const ScriptCommandEntry& e, std::string_view k) { return e.keywords < k; });
  table.insert(at, std::move(entry));
}

const std::vector<ScriptCommandEntry>& scriptCommands() { return commandTable(); }

namespace {

// How many words `keywords` has when they are the first words of
// `leadingWords`, one by one; 0 when they are not. Compared in place: every
// line of every script looks through the whole table.
std::size_t leadingKeywords(std::string_view keywords, const std::vector<std::string>& leadingWords) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos < keywords.size()) {
    std::size_t end = keywords.find(' ', pos);
    if (end == std::string_view::npos) end = keywords.size();
    if (end > pos) {
      if (count >= leadingWords.size() || leadingWords[count] != keywords.substr(pos, end - pos)) return 0;
      ++count;
    }
    pos = end + 1;
  }
  return count;
}

}  // namespace

const ScriptCommandEntry* findScriptCommand(const std::vector<std::string>& leadingWords) {
  const ScriptCommandEntry* best = nullptr;
  std::size_t bestLength = 0;
  for (const auto& entry : commandTable()) {
    const std::size_t keys = leadingKeywords(entry.keywords, leadingWords);
    if (keys > bestLength) {
      best = &entry;
      bestLength = keys;
    }
  }
  return best;
}

ScriptSerialLineRegistration::ScriptSerialLineRegistration(ScriptSerialLine line) {
  // Ordered by name whatever order the files registering them start in; the
  // console first, as the line every run has.
  auto& table = serialLineTable();
  auto before = [](const ScriptSerialLine& a, const ScriptSerialLine& b) {
    if ((a.name == "console") != (b.name == "console")) return a.name == "console";
    return a.name < b.name;
  };
  table.insert(std::upper_bound(table.begin(), table.end(), line, before), line);
}

const std::vector<ScriptSerialLine>& scriptSerialLines() { return serialLineTable(); }

const ScriptSerialLine* findScriptSerialLine(std::string_view name) {
  for (const auto& line : serialLineTable()) {
    if (line.name == name) return &line;
  }
  return nullptr;
}

std::string serialLineNames() {
  std::string names;
  for (const auto& line : serialLineTable()) names += (names.empty() ? "" : ", ") + std::string(line.name);
  return names;
}

std::string scriptLanguageHelp() {
  constexpr std::size_t kColumn = 37;
  constexpr std::size_t kWidth = 80;
  std::string out = "Script language (one command a line; '#' starts a comment):\n";
  for (const auto& entry : commandTable()) {
    for (const auto& form : entry.forms) {
      std::string usage = "  " + std::string(entry.keywords) + (form.arguments.empty() ? "" : " ") +
                          std::string(form.arguments);
      if (usage.size() + 1 > kColumn) {
        out += usage + "\n" + std::string(kColumn, ' ');
      } else {
        out += usage + std::string(kColumn - usage.size(), ' ');
      }
      out += wrap(form.meaning, kWidth - kColumn, kColumn) + "\n";
    }
  }
  out +=
      "  TEXT is in double quotes with the escapes \\r \\n \\t \\\\ \\\" \\xNN.\n"
      "  /REGEX/ is an RE2 (Perl-like) pattern between slashes (\\/ for a slash)\n"
      "  over bytes (\\xB0 is the byte B0), matched in time linear in the text;\n"
      "  not accepted: back-references, look-around, \\p{...} classes, repeat\n"
      "  counts over 1000 (repeats inside repeats: their product).\n"
      "  D is a duration, a number and a unit: 250us, 10ms, 1.5s, 2min.\n"
      "  Waits without 'within' give up after 10s of virtual time.\n";
  out += "  LINE is a serial line of the board: ";
  std::string lines;
  for (const auto& line : serialLineTable()) {
    lines += (lines.empty() ? "" : "; ") + std::string(line.name) + " (" + std::string(line.about) + ")";
  }
  out += wrap(lines, kWidth - 4, 4);
  out += ".\n";
  std::string pins = "PIN is a port pin, PA0 to PH15 (any case), or a board name:";
  for (const auto& p : boardPins()) {
    pins += ' ';
    pins += p.name;
  }
  // Appended piece by piece: GCC 12 at -O3 warns falsely on "  " + string&&.
  out += "  ";
  out += wrap(pins, kWidth - 4, 4);
  out += ".\n";
  return out;
}

std::string scriptCommandsMarkdown() {
  std::string out = "| command | meaning |\n|---|---|\n";
  for (const auto& entry : commandTable()) {
    for (const auto& form : entry.forms) {
      std::string usage = std::string(entry.keywords) + (form.arguments.empty() ? "" : " ") + std::string(form.arguments);
      std::string escaped;
      for (char c : usage) {
        if (c == '|') escaped += '\\';
        escaped += c;
      }
      out += "| `" + escaped + "` | " + std::string(form.meaning) + " |\n";
    }
  }
  return out;
}

}  // namespace sim
