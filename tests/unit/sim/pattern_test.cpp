// Script patterns: what the syntax accepts and refuses, that the follower a
// wait runs agrees with the matcher on when a growing text first holds a
// match, and that a wait's work stays linear in its transcript.
#include "sim/script/pattern.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>
#include <string>

#include "sim/script/script.h"
#include "sim/script/script_step.h"

namespace {

using ::testing::HasSubstr;

std::string refusal(const std::string& pattern) {
  try {
    sim::Pattern p(pattern);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "accepted";
}

// The shortest prefix of text that holds a match, by searching every prefix
// with the matcher itself; text.size() + 1 when none does.
std::size_t firstMatchBySearch(const sim::Pattern& p, const std::string& text) {
  for (std::size_t n = 0; n <= text.size(); ++n)
    if (p.find(std::string_view(text).substr(0, n))) return n;
  return text.size() + 1;
}

std::size_t firstMatchByFollower(const sim::Pattern& p, const std::string& text) {
  sim::PatternFollower follower(p);
  if (follower.restart()) return 0;
  for (std::size_t n = 0; n < text.size(); ++n)
    if (follower.add(text[n])) return n + 1;
  return text.size() + 1;
}

TEST(ScriptPatterns, TheSyntaxTakesPerlStylePatternsOverBytesAndRefusesWhatItLeavesOutByName) {
  for (const char* good :
       {"IoT Tamberlux TL500 Test \\.\\.\\. [A-Z][a-z]{2} [ 0-9]\\d \\d{4}", "^Pressure: 10(1[3-9]|[2-9][0-9])\\.[0-9]{2}",
        "(?i)led ?[1-3]", "(?s)a.b", "(?m)^ok$", "[[:alpha:]_]+\\b", "\\xB0C", "\\x{41}", "\\Q1+1\\E", "a{2,1000}",
        "(?P<n>x)y", "[^\\]]*", "a*?b+?c??", "\\012", "\\C"})
    EXPECT_EQ(refusal(good), "accepted") << good;

  EXPECT_THAT(refusal("(a)\\1"), HasSubstr("back-references"));
  EXPECT_THAT(refusal("(a)(b)\\2"), HasSubstr("back-references"));
  EXPECT_THAT(refusal("a(?=b)"), HasSubstr("look-around"));
  EXPECT_THAT(refusal("a(?!b)"), HasSubstr("look-around"));
  EXPECT_THAT(refusal("(?<=a)b"), HasSubstr("look-around"));
  EXPECT_THAT(refusal("\\pL"), HasSubstr("Unicode classes"));
  EXPECT_THAT(refusal("a{1001}"), HasSubstr("at most 1000"));
  EXPECT_THAT(refusal("a{5555555555555555555}"), HasSubstr("at most 1000"));
  EXPECT_THAT(refusal("(a{100}){100}"), HasSubstr("at most 1000"));
  EXPECT_THAT(refusal("\\x{100}"), HasSubstr("invalid escape"));  // beyond a byte
  // Plain mistakes keep the matcher's own words.
  EXPECT_THAT(refusal("a("), HasSubstr("missing )"));
  EXPECT_THAT(refusal("*a"), HasSubstr("no argument for repetition"));
  EXPECT_THAT(refusal("[z-a]"), HasSubstr("range"));

  // And through the script parser, naming the pattern.
  try {
    sim::parseScript("wait console /(a)\\1/\n", "t.tlscript");
    FAIL() << "accepted";
  } catch (const sim::ScriptError& e) {
    EXPECT_THAT(std::string(e.what()), HasSubstr("is not a valid pattern: back-references"));
  }
}

TEST(ScriptPatterns, BytesAreCharactersAndCaseFoldsAsLatin1) {
  sim::Pattern degree("\\xB0C");
  EXPECT_TRUE(degree.find("21.5\xB0" "C"));
  EXPECT_FALSE(sim::Pattern("^.$").find("\n"));
  EXPECT_TRUE(sim::Pattern("(?s)^.$").find("\n"));
  EXPECT_TRUE(sim::Pattern("(?i)\xE9t\xE9").find("\xC9T\xC9"));
  auto match = sim::Pattern("b+").find("aabbbc");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->begin, 2u);
  EXPECT_EQ(match->end, 5u);
}

// The follower decides when a wait ends; the matcher what it matched. They
// must agree on the first byte at which a match exists, for every construct
// the syntax has, on texts that exercise line ends, word boundaries, case
// and bytes above 0x7F.
TEST(ScriptPatterns, TheFollowerSeesTheFirstMatchAtTheSameByteAsTheMatcher) {
  const std::vector<std::string> fixed = {
      "a", "ab", "a|b", "a*b", "(a|ab)(c|bcd)", "^a", "a$", "(?m)^a", "(?m)a$", "\\ba", "a\\b", "a\\B", "\\Bb",
      "[^a]", ".", "(?s).", "(?i)A", "(?i)[^a]", "(?i)\xE9", "\\d+", "\\w\\W", "\\s", "\\S\\s", "[[:upper:]]",
      "(?i)[[:upper:]]b", "[[:^alpha:]]", "a{2,3}b", "(ab){2}", "a{2,}", "(a*)*b", "(|a)b", "a(?i)b|c", "\\Aa\\z",
      "^$", "(?m)^$", "\\b", "\\B", "[]a]", "[a-]", "\\Q.*\\E", "\\x41", "\\x{61}", "\\0", "\\C\\n", "[\\d_]",
      "(?-i:a)", "(?i:a)b", "x*", "[\\s\\S]*~", "a[\\s\\S]*b", "a.*b$",
  };
  std::mt19937 random(2026);
  const std::string alphabet = "aabbcAB~ _1\n\xE9\xC9";
  auto randomText = [&](std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    return text;
  };
  // Random patterns from the same pieces, nested.
  const std::vector<std::string> atoms = {"a", "b", "~", ".", "[ab]", "[^a\\n]", "\\b", "\\B", "^", "$", "(?m:^)",
                                          "(?m:$)", "\\d", "\\w", "\\s", "(?i:a)", "\\xE9", "(?i:\\xC9)"};
  const std::vector<std::string> repeats = {"", "", "*", "+", "?", "{2}", "{1,3}", "*?"};
  std::function<std::string(int)> randomPattern = [&](int depth) {
    std::string out;
    int parts = 1 + static_cast<int>(random() % 3);
    for (int k = 0; k < parts; ++k) {
      std::string piece = depth > 0 && random() % 3 == 0 ? "(" + randomPattern(depth - 1) + ")"
                                                        : atoms[random() % atoms.size()];
      out += piece + repeats[random() % repeats.size()];
    }
    if (random() % 4 == 0) out += "|" + randomPattern(depth - 1 < 0 ? 0 : depth - 1);
    return out;
  };
  std::vector<std::string> patterns = fixed;
  for (int k = 0; k < 400; ++k) patterns.push_back(randomPattern(2));

  int compared = 0;
  for (const std::string& source : patterns) {
    std::optional<sim::Pattern> p;
    try {
      p.emplace(source);
    } catch (const std::invalid_argument&) {
      continue;  // a random pattern the matcher refuses (a repeated ^, say)
    }
    for (int t = 0; t < 12; ++t) {
      std::string text = randomText(random() % 24);
      ASSERT_EQ(firstMatchByFollower(*p, text), firstMatchBySearch(*p, text))
          << "/" << source << "/ on \"" << sim::escapeText(text) << "\"";
      ++compared;
    }
  }
  EXPECT_GT(compared, 3000);
}

// A wait stepped by hand, as the runner steps it: the transcript grows a
// byte at a time and each byte reaches the waiting line.
class Transcript : public sim::ScriptContext {
 public:
  sim::Time now() const override { return 0; }
  void send(std::string_view, std::string_view) override {}
  const std::string& received(std::string_view) const override { return text; }
  std::size_t& matchEnd(std::string_view) override { return end; }
  void print(const std::string&) override {}
  bool mainReturned() const override { return false; }
  sim::Board* board() override { return nullptr; }
  std::string text;
  std::size_t end = 0;

 protected:
  void endWithFailure(const std::string& what) override { throw std::runtime_error(what); }
};

TEST(ScriptPatterns, AWaitOnTheWorstPatternsDoesWorkLinearInItsTranscript) {
  // Two kilobytes of menu, forty times over, with neither the ~ nor the y
  // that would end the waits.
  std::string menu;
  for (int i = 0; i < 40; ++i) {
    menu += "\r\n  1 - LED test\r\n  2 - Actuator test\r\n  3 - Sensor test (9-axis, pressure, PIR)\r\n";
    menu += std::string(1900, 'b') + "\r\n Select: ";
  }
  for (const char* pattern : {"[\\s\\S]*~", "~", "(?s).*~.*", "z[\\s\\S]*y", "(b|bb)*~", "\\Bx{0,100}~"}) {
    sim::Script script = sim::parseScript("wait console /" + std::string(pattern) + "/\n", "t.tlscript");
    sim::ScriptStep& wait = *script.lines.front().step;
    Transcript transcript;
    transcript.text = "boot z\r\n";  // before the wait: searched once at its start
    auto before = sim::patternWork();
    ASSERT_EQ(wait.begin(transcript).kind, sim::StepStart::Kind::Wait) << pattern;
    for (char c : menu) {
      transcript.text += c;
      ASSERT_FALSE(wait.onByte(transcript, "console")) << pattern;
    }
    bool ended = false;
    for (char c : std::string(std::string(pattern).starts_with("z") ? "zy" : "~")) {
      transcript.text += c;
      ended = wait.onByte(transcript, "console");
    }
    EXPECT_TRUE(ended) << pattern;
    EXPECT_EQ(transcript.end, transcript.text.size()) << pattern;
    auto after = sim::patternWork();
    std::uint64_t length = transcript.text.size();
    // The transcript searched at the wait's start and once more at the end,
    // and each byte followed once: nothing searched again per byte.
    EXPECT_LE(after.searched - before.searched, 2 * length) << pattern;
    EXPECT_LE(after.followed - before.followed, length) << pattern;
  }
}

}  // namespace
