// The script parser faces whatever a user writes: every input either parses or
// is refused with an error naming its line, and texts survive their notation.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sim/script/script.h"

namespace {

TEST(ScriptRobustness, AnyBytesInATextSurviveTheScriptNotation) {
  std::mt19937 random(12345);
  for (int round = 0; round < 500; ++round) {
    std::string bytes;
    std::size_t length = random() % 40;
    for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(random() & 0xFF));
    std::string script = "send console \"" + sim::escapeText(bytes) + "\"\n";
    sim::Script parsed = sim::parseScript(script, "roundtrip");
    ASSERT_EQ(parsed.commands.size(), 1u) << script;
    ASSERT_EQ(parsed.commands[0].text, bytes) << script;
  }
}

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
