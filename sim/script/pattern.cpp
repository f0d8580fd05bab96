#include "pattern.h"

#include <stdexcept>
#include <string_view>

namespace sim {

namespace {

// The regex library reads repeat counts ({n,m}) and back-references (\n)
// into a machine integer without checking for overflow, so a long run of
// digits there is undefined behaviour rather than an error. Counts that large
// could never compile anyway (the automaton would be far too big): refuse
// them before the library sees them.
constexpr std::size_t kMaxPatternNumberDigits = 4;

bool hasOversizedNumber(std::string_view pattern) {
  bool inBracket = false, inBrace = false;
  auto digitsAt = [&](std::size_t i) {
    std::size_t n = 0;
    while (i + n < pattern.size() && pattern[i + n] >= '0' && pattern[i + n] <= '9') ++n;
    return n;
  };
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '\\') {
      if (digitsAt(i + 1) > kMaxPatternNumberDigits) return true;
      ++i;  // the escaped character is never special
    } else if (inBracket) {
      if (c == ']') inBracket = false;
    } else if (inBrace) {
      std::size_t n = digitsAt(i);
      if (n > kMaxPatternNumberDigits) return true;
      if (n > 0) i += n - 1;
      if (c == '}') inBrace = false;
    } else if (c == '[') {
      inBracket = true;
    } else if (c == '{') {
      inBrace = true;
    }
  }
  return false;
}

}  // namespace

std::regex compilePattern(const std::string& source) {
  if (hasOversizedNumber(source))
    throw std::invalid_argument("repeat counts and back-references have at most " +
                                std::to_string(kMaxPatternNumberDigits) + " digits");
  try {
    return std::regex(source, std::regex::ECMAScript | std::regex_constants::__polynomial);
  } catch (const std::regex_error& e) {
    throw std::invalid_argument(e.what());
  }
}

}  // namespace sim
