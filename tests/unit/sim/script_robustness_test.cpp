// The script parser faces whatever a user writes: every input either parses or
// is refused with an error naming its line, and texts survive their notation.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sim/script/script.h"

namespace {

TEST(ScriptRobustness, MangledScriptsParseOrFailNamingALineAndNothingElse) {
  const std::string valid =
      "# a session\n"
      "wait console \"x> quit\\r\\n\" within 2s\n"
      "send console \"0\\x0d\"  # key 0\n"
      "run 1.5ms\n"
      "expect pin PC7 low\n"
      "set pin PB12 float\n";
  std::mt19937 random(777);
  for (int round = 0; round < 3000; ++round) {
    std::string text = valid;
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = random() % (text.size() + 1);
      switch (random() % 3) {
        case 0:
          text.insert(at, 1, static_cast<char>(random() & 0xFF));
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1);
          break;
        default:
          if (at < text.size()) text[at] = static_cast<char>(random() & 0xFF);
          break;
      }
    }
    try {
      (void)sim::parseScript(text, "mangled");
    } catch (const sim::ScriptError& error) {
      EXPECT_GE(error.line(), 1) << text;
      EXPECT_LE(error.line(), 7) << text;
    }
  }
}

}  // namespace
