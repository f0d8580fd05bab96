#include "transcript.h"

#include <algorithm>

#include "sim/script/script.h"

namespace sim {

namespace {

constexpr std::size_t kBefore = 40;
constexpr std::size_t kAfter = 40;

void replaceAll(std::string& text, std::string_view what, std::string_view with) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

std::string around(std::string_view text, std::size_t at) {
  std::size_t from = at > kBefore ? at - kBefore : 0;
  std::string shown = escapeText(text.substr(from, at - from)) + "|" + escapeText(text.substr(at, kAfter));
  return (from > 0 ? "..\"" : "\"") + shown + (at + kAfter < text.size() ? "\".." : "\"");
}

}  // namespace

std::string expandTranscript(std::string_view expected, std::string_view buildDate, std::string_view buildTime) {
  std::string text(expected);
  replaceAll(text, "@BUILD_DATE@", buildDate);
  replaceAll(text, "@BUILD_TIME@", buildTime);
  return text;
}

std::optional<std::string> compareTranscript(std::string_view expected, std::string_view actual,
                                             std::string_view line) {
  if (expected == actual) return std::nullopt;
  auto [e, a] = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  auto at = static_cast<std::size_t>(e - expected.begin());
  std::size_t lineNumber = 1 + static_cast<std::size_t>(std::count(expected.begin(), e, '\n'));
  std::size_t lineStart = expected.rfind('\n', at == 0 ? 0 : at - 1);
  std::size_t column = at == 0 || lineStart == std::string_view::npos ? at + 1 : at - lineStart;
  std::string where = "byte " + std::to_string(at) + " (line " + std::to_string(lineNumber) + ", column " +
                      std::to_string(column) + ")";
  std::string what;
  if (a == actual.end()) {
    what = std::string(line) + " ends at " + where + "; " + std::to_string(expected.size() - at) + " more bytes expected";
  } else if (e == expected.end()) {
    what = std::string(line) + " goes on after the expected end at " + where + " with " +
           std::to_string(actual.size() - at) + " more bytes";
  } else {
    what = std::string(line) + " differs at " + where;
  }
  return what + "\n  expected: " + around(expected, at) + "\n  got:      " + around(actual, at) +
         "\n  ('|' marks the first differing byte)";
}

}  // namespace sim
