// Scenario scripts: the parser (texts, durations, comments, errors naming the
// line) and the runner driving a virtual board without firmware, whose console
// output the tests write straight into USART1.
#include "sim/script/script.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "platform/stm32l1_registers.h"
#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/script/immediate_command.h"
#include "sim/script/script_runner.h"

namespace {

using sim::Level;
using sim::Script;
using sim::ScriptError;
using sim::Stop;
using sim::StopKind;
using sim::Time;

Script parse(const std::string& text) { return sim::parseScript(text, "t.tlscript"); }

// ------------------------------------------------------------------ parser

// What a one-line `print` script writes, without its time stamp: texts come
// back as the bytes their notation stands for.
std::string printed(sim::Board& board, const std::string& script) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  sim::Script s = parse(script);
  for (auto& line : s.lines) sim::runImmediate(board, line, out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  const std::string stamp = "0.000000 s  ";
  EXPECT_EQ(text.rfind(stamp, 0), 0u) << text;
  EXPECT_EQ(text.back(), '\n');
  return text.substr(stamp.size(), text.size() - stamp.size() - 1);
}

TEST(ScriptParser, TextsTakeEveryEscapeOfTheNotation) {
  sim::Board board;
  EXPECT_EQ(printed(board, R"(print "a\r\n\t\\\"\x41\x1B#z")"), std::string("a\r\n\t\\\"A\x1b#z"));
  EXPECT_EQ(sim::escapeText(std::string("a\r\n\t\\\"A\x1b#z")), R"(a\r\n\t\\\"A\x1b#z)");
}

TEST(ScriptParser, AnyBytesInATextSurviveTheScriptNotation) {
  sim::Board board;
  std::mt19937 random(12345);
  for (int round = 0; round < 300; ++round) {
    std::string bytes;
    std::size_t length = random() % 40;
    for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(random() & 0xFF));
    ASSERT_EQ(printed(board, "print \"" + sim::escapeText(bytes) + "\"\n"), bytes);
  }
}

TEST(ScriptParser, CommentsBlankLinesAndEveryKindOfLineEndKeepLineNumbers) {
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(eol)));
    std::string text = std::string("# a scenario") + eol + eol + "   set pin PC7 float   # let go" + eol +
                       "expect pin PA8 low" + eol + "\t# indented comment" + eol + "set pin PH2 high#no space needed" +
                       eol;
    Script s = parse(text);
    ASSERT_EQ(s.lines.size(), 3u);
    EXPECT_EQ(s.lines[0].line, 3);
    EXPECT_EQ(s.lines[0].source, "set pin PC7 float");
    EXPECT_EQ(s.lines[1].line, 4);
    EXPECT_EQ(s.lines[2].line, 6);
    EXPECT_EQ(s.lines[2].source, "set pin PH2 high");
  }
}

TEST(ScriptParser, PinsGoByPortNameInAnyCaseOrByBoardName) {
  for (const char* name : {"PC7", "pc7", "Pc7", "LED1", "led1"}) {
    auto pin = sim::findPin(name);
    ASSERT_TRUE(pin) << name;
    EXPECT_EQ(pin->port, 'C');
    EXPECT_EQ(pin->pin, 7u);
  }
  EXPECT_EQ(sim::findPin("DIP3")->pin, 15u);
  EXPECT_EQ(sim::findPin("ZB_RESET")->port, 'A');
  EXPECT_EQ(sim::pinLabel(*sim::findPin("pb12")), "PB12 (DIP1)");
  EXPECT_EQ(sim::pinLabel(*sim::findPin("PB14")), "PB14");
  for (const char* name : {"LED4", "PZ1", "PA16", "PA01", "P", "LED"}) EXPECT_FALSE(sim::findPin(name)) << name;
}

TEST(ScriptParser, SyntaxErrorsNameTheLine) {
  const char* bad[] = {
      "jump 10ms",                     // unknown command
      "send console",                  // no text
      "send console hello",            // text without quotes
      "send modem \"a\"",              // no such line
      "send console \"a\\q\"",         // unknown escape
      "send console \"\\x4\"",         // short hex escape
      "send console \"open",           // no closing quote
      "send console \"a\"\"b\"",       // two texts glued together
      "run 10",                        // no unit
      "run 10 ms",                     // unit apart: 'ms' is a stray word
      "run fast",                      // not a number
      "wait console \"a\" within",     // no limit
      "wait console \"a\" during 1s",  // not 'within'
      "wait console \"\"",             // nothing to wait for
      "expect pin PZ1 high",           // no such port
      "expect pin PA16 high",          // no such pin
      "expect pin PA8 float",          // expect takes high or low only
      "expect pin LED1 toggles",       // no count
      "expect pin LED1 toggles -1",    // not a count
      "expect pin LED1 steady 1s",     // 'for' missing
      "expect console no",             // no text
      "expect console yes \"a\"",      // not 'no'
      "wait pin LED1 up",              // not a level
      "wait console /open",            // no closing slash
      "expect main returns soon",      // not 'within'
      "print hello",                   // text without quotes
      "expect PA8 high",               // 'pin' missing
      "set pin PA8 on",                // not a level
      "set pin PA8 high low",          // extra word
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    try {
      parse(std::string("# header\nrun 1ms\n\n") + line + "\nrun 1ms\n");
      ADD_FAILURE() << "accepted";
    } catch (const ScriptError& e) {
      EXPECT_EQ(e.line(), 4);
      EXPECT_EQ(std::string(e.what()).rfind("t.tlscript:4: ", 0), 0u) << e.what();
    }
  }
}

TEST(ScriptParser, WordsAreWhollyWhatTheyClaimAndMessagesShowThemSafely) {
  auto refusal = [](std::string_view text) -> std::string {
    try {
      parse(std::string(text));
    } catch (const ScriptError& e) {
      return e.what();
    }
    return "accepted";
  };
  // A NUL byte ends nothing: the word is not a duration.
  EXPECT_NE(refusal(std::string_view("run 1s\0garbage\n", 15)).find("is not a duration"), std::string::npos);
  // Too long is said so, with the longest accepted.
  EXPECT_NE(refusal("run 1e9s\n").find("'1e9s' is too long (at most 2932031s)"), std::string::npos);
  // An escape sequence that would retitle the terminal comes back escaped, and
  // a long word is cut.
  std::string message = refusal("jump\x1b]0;owned\x07 1s\n");
  EXPECT_EQ(message.find('\x1b'), std::string::npos) << message;
  EXPECT_NE(message.find("'jump\\x1b]0;owned\\x07'"), std::string::npos) << message;
  message = refusal("send console \"a\" " + std::string(5000, 'z') + "\n");
  EXPECT_LT(message.size(), 200u);
  EXPECT_NE(message.find("'zzzz"), std::string::npos) << message;
  // Patterns must compile.
  EXPECT_NE(refusal("wait console /a(/\n").find("is not a valid pattern"), std::string::npos);
  // Huge repeat counts are refused with the limit, however many digits they
  // have; ordinary ones and long digit runs that are plain text still pass.
  for (const char* bad : {"/a{5555555555555555555}/", "/a{1,99999}/", "/[x]{0,123456}/", "/a{1001}/"})
    EXPECT_NE(refusal(std::string("wait console ") + bad + "\n").find("at most 1000"), std::string::npos)
        << bad;
  for (const char* good : {"/a{2,1000}/", "/temp 1234567/", "/[{]1234567/", "/\\{1234567/"})
    EXPECT_NO_THROW(parse(std::string("wait console ") + good + "\n")) << good;
  // Back-references are refused by name, also where a digit run follows.
  for (const char* bad : {"/(a)\\1/", "/\\123456/"})
    EXPECT_NE(refusal(std::string("wait console ") + bad + "\n").find("is not a valid pattern: back-references"),
              std::string::npos)
        << bad;
}

TEST(ScriptParser, AScriptThatCannotBeReadIsAnError) {
  EXPECT_THROW(sim::loadScript("/nonexistent/dir/none.tlscript"), ScriptError);
}

// ------------------------------------------------------------------ runner

constexpr std::uint32_t kSr = 0x00, kDr = 0x04, kBrr = 0x08, kCr1 = 0x0C;
constexpr std::uint32_t kRxne = 1u << 5;
constexpr std::uint32_t kUe = 1u << 13, kTe = 1u << 3, kRe = 1u << 2;
// 115200 bit/s from the 2.097 MHz MSI clock after reset: 1.1 % fast, well
// within what the console's receiver tolerates.
constexpr std::uint32_t kBrr115200AtMsi = 18;
// Spacing of the bytes the tests send from the board: a frame and some idle.
constexpr Time kByteSpacing = sim::microseconds(100);

class ScriptRun : public ::testing::Test {
 protected:
  ScriptRun() {
    // The console port's and GPIOA's clocks on, as the firmware's board set-up does.
    board.rcc().write(offsetof(RCC_TypeDef, APB2ENR), 4, 0x00004000u);  // USART1EN
    board.rcc().write(offsetof(RCC_TypeDef, AHBENR), 4, 0x00000001u);   // GPIOAEN
    // PA9 and PA10 handed to USART1 (alternate function 7).
    board.gpio('A').write(0x24, 4, 0x770);
    board.gpio('A').write(0x00, 4, board.gpio('A').read(0x00, 4) | (2u << 18) | (2u << 20));
    board.usart1().write(kBrr, 2, kBrr115200AtMsi);
    board.usart1().write(kCr1, 2, kUe | kTe | kRe);
  }

  // The board prints `text` on the console from virtual time `at`.
  void boardPrints(Time at, const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      auto byte = static_cast<std::uint8_t>(text[i]);
      board.clock().at(at + i * kByteSpacing, [this, byte] { board.usart1().write(kDr, 2, byte); });
    }
  }

  // Starts the script and runs the board until something stops the run.
  std::optional<Stop> run(const std::string& text) {
    runner.emplace(board, parse(text));
    try {
      runner->start();
      while (board.clock().runToNextEvent()) {
      }
    } catch (const Stop& stop) {
      return stop;
    }
    return std::nullopt;
  }

  sim::Board board;
  std::optional<sim::ScriptRunner> runner;
};

TEST_F(ScriptRun, AScriptOfImmediateLinesCompletesAtOnce) {
  auto stop = run("# nothing to wait for\nset pin PC7 high\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_EQ(board.clock().now(), 0u);
  EXPECT_TRUE(runner->finished());
}

TEST_F(ScriptRun, RunLetsExactlyThatMuchVirtualTimePass) {
  auto stop = run("run 1.5ms\nrun 500us\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_EQ(board.clock().now(), sim::milliseconds(2));
}

TEST_F(ScriptRun, AWaitEndsWhenTheTextHasComeOut) {
  boardPrints(sim::milliseconds(1), "boot\r\nx> quit\r\n");
  auto stop = run("wait console \"x> quit\\r\\n\"\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_EQ(board.console().received(), "boot\r\nx> quit\r\n");
  // Ended with the text's last byte, not at the limit.
  EXPECT_LT(board.clock().now(), sim::milliseconds(3));
}

TEST_F(ScriptRun, AWaitThatTimesOutFailsNamingTheLineTheTextAndTheLastOutput) {
  boardPrints(0, "Press menu key\r\n");
  auto stop = run("# header\nwait console \"Menu>\" within 20ms # the prompt\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Failed);
  std::string message = stop->what();
  EXPECT_NE(message.find("t.tlscript:2: wait console \"Menu>\" within 20ms"), std::string::npos) << message;
  EXPECT_NE(message.find("\"Menu>\" within 0.020000 s"), std::string::npos) << message;
  EXPECT_NE(message.find("\"Press menu key\\r\\n\""), std::string::npos) << message;
  EXPECT_EQ(board.clock().now(), sim::milliseconds(20));
}

TEST_F(ScriptRun, AWaitMatchesOnlyTextAfterThePreviousMatch) {
  boardPrints(0, "ok\r\n");
  auto once = run("wait console \"ok\"\nwait console \"ok\" within 5ms\n");
  ASSERT_TRUE(once);
  EXPECT_EQ(once->kind(), StopKind::Failed);
  EXPECT_NE(std::string(once->what()).find("t.tlscript:2:"), std::string::npos) << once->what();
}

TEST_F(ScriptRun, ASecondOccurrenceSatisfiesTheNextWait) {
  boardPrints(0, "ok ok");
  auto twice = run("wait console \"ok\"\nwait console \"ok\" within 5ms\n");
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->kind(), StopKind::Completed);
}

TEST_F(ScriptRun, TextAlreadyOutBeforeTheWaitCounts) {
  boardPrints(0, "banner\r\n");
  auto stop = run("run 5ms\nwait console \"banner\" within 1us\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_EQ(board.clock().now(), sim::milliseconds(5));
}

TEST_F(ScriptRun, ExpectPinSeesWhatSetPinDrives) {
  auto ok = run("set pin PC7 high\nexpect pin PC7 high\nset pin PC7 low\nexpect pin PC7 low\n");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->kind(), StopKind::Completed);
}

TEST_F(ScriptRun, AFailedExpectNamesTheLineAndTheLevelFound) {
  auto stop = run("set pin PB5 high\n\nexpect pin PB5 low\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Failed);
  std::string message = stop->what();
  EXPECT_NE(message.find("t.tlscript:3: expect pin PB5 low"), std::string::npos) << message;
  EXPECT_NE(message.find("it is high"), std::string::npos) << message;
  EXPECT_NE(message.find("no console output yet"), std::string::npos) << message;
}

TEST_F(ScriptRun, SentBytesReachTheBoardAtLinePace) {
  std::optional<Stop> stop;
  runner.emplace(board, parse("send console \"ab\"\nrun 1ms\n"));
  try {
    runner->start();
    // One 10-bit frame at 115200 bit/s: 86.8 us.
    board.clock().advanceTo(sim::microseconds(88));
    EXPECT_TRUE(board.usart1().read(kSr, 2) & kRxne);
    EXPECT_EQ(board.usart1().read(kDr, 2), 'a');
    board.clock().advanceTo(sim::microseconds(176));
    EXPECT_EQ(board.usart1().read(kDr, 2), 'b');
    while (board.clock().runToNextEvent()) {
    }
  } catch (const Stop& s) {
    stop = s;
  }
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
}

TEST_F(ScriptRun, AnUnfinishedScriptNamesTheLineInProgress) {
  board.clock().setLimit(sim::milliseconds(3));
  auto stop = run("run 1ms\nwait console \"never\"\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::TimeLimit);
  EXPECT_FALSE(runner->finished());
  std::string message = runner->unfinishedMessage("the time limit was reached");
  EXPECT_NE(message.find("t.tlscript:2: wait console \"never\""), std::string::npos) << message;
}

// ------------------------------------------------------------------ pins over time

// The test drives LED1's line like firmware blinking it: `count` changes, one
// every `period`, from `start`.
class PinScript : public ScriptRun {
 protected:
  void blink(Time start, Time period, int count) {
    for (int i = 0; i < count; ++i) {
      Level level = i % 2 == 0 ? Level::High : Level::Low;
      board.clock().at(start + static_cast<Time>(i) * period, [this, level] { board.drivePin({'C', 7}, level); });
    }
  }
  std::string failure(const std::string& text) {
    auto stop = run(text);
    if (!stop) return "no stop";
    if (stop->kind() != StopKind::Failed) return "ended without failing";
    return stop->what();
  }
};

TEST_F(PinScript, WaitPinEndsAtTheLevelOrTheChange) {
  blink(sim::milliseconds(2), sim::milliseconds(3), 3);  // high at 2 ms, low at 5, high at 8
  auto stop = run("wait pin led1 low\nwait pin led1 high\nwait pin PC7 change\nwait pin LED1 high within 10ms\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_EQ(board.clock().now(), sim::milliseconds(8));
}

TEST_F(PinScript, WaitPinThatNeverComesNamesTheLevelSeen) {
  std::string message = failure("set pin PB12 high\nwait pin DIP1 low within 4ms\n");
  EXPECT_NE(message.find("t.tlscript:2: wait pin DIP1 low within 4ms"), std::string::npos) << message;
  EXPECT_NE(message.find("expected pin PB12 (DIP1) low within 0.004000 s; still high at 0.004000 s"),
            std::string::npos)
      << message;
  message = failure("wait pin PB13 change within 1ms\n");
  EXPECT_NE(message.find("to change within 0.001000 s; it stayed low"), std::string::npos) << message;
}

TEST_F(PinScript, TogglesCountsLevelChangesWithinTheLimit) {
  blink(sim::milliseconds(1), sim::milliseconds(1), 6);
  auto stop = run("expect pin LED1 toggles 6 within 10ms\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_EQ(board.clock().now(), sim::milliseconds(6));  // done at the sixth change, not at the limit
}

TEST_F(PinScript, TooFewTogglesFailWithTheCount) {
  blink(sim::milliseconds(1), sim::milliseconds(1), 3);
  std::string message = failure("expect pin LED1 toggles 4 within 10ms\n");
  EXPECT_NE(message.find("to toggle at least 4 times within 0.010000 s; it changed 3 times by 0.010000 s"),
            std::string::npos)
      << message;
}

TEST_F(PinScript, SteadyForAWhileHoldsOrFailsAtTheChange) {
  blink(sim::milliseconds(5), sim::milliseconds(1), 1);
  auto ok = run("expect pin LED1 steady for 4ms\n");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->kind(), StopKind::Completed);
}

TEST_F(PinScript, SteadyWithoutADurationWatchesUntilTheEndOfTheRun) {
  blink(sim::milliseconds(5), sim::milliseconds(1), 1);
  std::string message = failure("expect pin LED1 steady\nrun 3ms\nrun 3ms\n");
  // The failure names the watching line, and when the pin moved.
  EXPECT_NE(message.find("t.tlscript:1: expect pin LED1 steady"), std::string::npos) << message;
  EXPECT_NE(message.find("until the end of the run from 0.000000 s; it went high at 0.005000 s"), std::string::npos)
      << message;
}

// ------------------------------------------------------------------ console patterns and absences

TEST_F(ScriptRun, APatternWaitMatchesAndTheNextWaitGoesOnAfterTheMatch) {
  boardPrints(0, "built Dec  7 2026 10:11:12\r\nok\r\n");
  auto stop = run(
      "wait console /[A-Z][a-z]{2} [ 0-9]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d/\n"
      "wait console \"ok\" within 10ms\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
}

TEST_F(ScriptRun, APatternNotSeenFailsNamingThePattern) {
  boardPrints(0, "hello\r\n");
  auto stop = run("wait console /wor.d/ within 5ms\n");
  ASSERT_TRUE(stop);
  ASSERT_EQ(stop->kind(), StopKind::Failed);
  EXPECT_NE(std::string(stop->what()).find("expected console text matching /wor.d/ within 0.005000 s"),
            std::string::npos)
      << stop->what();
}

TEST_F(ScriptRun, APatternThatWouldBacktrackExponentiallyStillEndsTheWait) {
  // A backtracking matcher takes 2^n steps for (a*)*b on n a's: with 40 a's
  // the run would never end. The wait must fail at its limit instead, and
  // match once the b comes.
  boardPrints(0, std::string(40, 'a') + "!\r\n");
  auto stop = run("wait console /(a*)*b/ within 10ms\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Failed);
  boardPrints(board.clock().now(), std::string(40, 'a') + "b\r\n");
  stop = run("wait console /(a*)*b/ within 10ms\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
}

TEST_F(ScriptRun, ExpectNoTextFailsWhenTheTextComesOut) {
  boardPrints(sim::milliseconds(2), "Error 5\r\n");
  auto stop = run("expect console no \"Error\" for 10ms\n");
  ASSERT_TRUE(stop);
  ASSERT_EQ(stop->kind(), StopKind::Failed);
  EXPECT_NE(std::string(stop->what()).find("expected no console text \"Error\" for 0.010000 s from 0.000000 s; it "
                                           "came out at"),
            std::string::npos)
      << stop->what();
}

TEST_F(ScriptRun, ExpectNoTextWithoutADurationWatchesWhileTheScriptGoesOn) {
  boardPrints(sim::milliseconds(2), "fine\r\n");
  boardPrints(sim::milliseconds(20), "Error\r\n");
  auto quiet = run("expect console no \"Error\"\nwait console \"fine\"\nrun 1ms\n");
  ASSERT_TRUE(quiet);
  EXPECT_EQ(quiet->kind(), StopKind::Completed);  // the script ended before the text came
}

TEST_F(ScriptRun, BytesSentWhileTheReceiverIsOffAreNamedInTheNextFailure) {
  board.usart1().write(kCr1, 2, 0);
  auto stop = run("send console \"ab\"\nrun 1ms\nexpect pin PC7 high\n");
  ASSERT_TRUE(stop);
  ASSERT_EQ(stop->kind(), StopKind::Failed);
  EXPECT_NE(std::string(stop->what()).find("2 bytes sent at 0.000 s were lost: USART1 receiver off"), std::string::npos)
      << stop->what();
}

// ------------------------------------------------------------------ what the board never received

TEST_F(ScriptRun, BytesStillOnTheirWayWhenTheScriptEndsFailTheRun) {
  // The last line sends; the script is over before the first stop bit.
  auto stop = run("run 1ms\nsend console \"1234\"\n");
  ASSERT_TRUE(stop);
  ASSERT_EQ(stop->kind(), StopKind::Completed);
  auto lost = runner->unexpectedLosses();
  ASSERT_TRUE(lost);
  EXPECT_NE(lost->find("4 bytes sent at 0.001 s were lost: the run ended before they reached USART1"),
            std::string::npos)
      << *lost;
  EXPECT_NE(lost->find("'expect lost console'"), std::string::npos) << *lost;
  EXPECT_FALSE(runner->unexpectedLosses()) << "said once";
}

TEST_F(ScriptRun, BytesTheBoardReceivedOrTheScriptExpectedToLoseDoNotFailTheRun) {
  auto delivered = run("send console \"1234\"\nrun 1ms\n");
  ASSERT_TRUE(delivered);
  EXPECT_FALSE(runner->unexpectedLosses());

  // Receiver off: lost on the line; and bytes left unsent at the end.
  board.usart1().write(kCr1, 2, 0);
  auto expected = run("expect lost console\nsend console \"ab\"\nrun 1ms\nsend console \"cd\"\n");
  ASSERT_TRUE(expected);
  EXPECT_EQ(expected->kind(), StopKind::Completed);
  EXPECT_FALSE(runner->unexpectedLosses());
}

TEST_F(ScriptRun, BytesSentWhileTheReceiverIsOffFailTheRunAtItsEnd) {
  board.usart1().write(kCr1, 2, 0);
  auto stop = run("send console \"ab\"\nrun 1ms\nexpect lost console\nsend console \"c\"\nrun 1ms\n");
  ASSERT_TRUE(stop);
  ASSERT_EQ(stop->kind(), StopKind::Completed);
  auto lost = runner->unexpectedLosses();
  ASSERT_TRUE(lost);
  // Only the send before `expect lost` fails the run; the other is named as expected.
  EXPECT_NE(lost->find("2 bytes sent at 0.000 s were lost: USART1 receiver off\n"), std::string::npos) << *lost;
  EXPECT_NE(lost->find("1 byte sent at 0.001 s was lost: USART1 receiver off (expected)"), std::string::npos)
      << *lost;
}

TEST_F(ScriptRun, PeerBytesTheZigBeeModuleDropsInResetFailTheRun) {
  // The module held in reset from outside while a peer sends.
  auto stop = run("set pin zb_reset low\nsend zigbee \"xyz\"\nrun 1ms\n");
  ASSERT_TRUE(stop);
  ASSERT_EQ(stop->kind(), StopKind::Completed);
  auto lost = runner->unexpectedLosses();
  ASSERT_TRUE(lost);
  EXPECT_NE(lost->find("3 bytes sent at 0.000 s were lost: the ZigBee module was in reset"), std::string::npos)
      << *lost;
}

TEST_F(ScriptRun, AWaitThatWouldEndPastTheEndOfTheClockIsRefused) {
  // A clock a day short of its end (2^64 quanta, about 67 days) and a two-day
  // run: the clock would saturate or wrap.
  const sim::Time nearTheEnd = ~sim::Time{0} - sim::seconds(86'400);
  board.clock().advanceTo(nearTheEnd);
  auto stop = run("run 172800s\n");
  ASSERT_TRUE(stop);
  ASSERT_EQ(stop->kind(), StopKind::Failed);
  EXPECT_NE(std::string(stop->what()).find("is past the end of the board's clock at"), std::string::npos)
      << stop->what();
  EXPECT_EQ(board.clock().now(), nearTheEnd) << "no time passed";
}

// ------------------------------------------------------------------ main's return

TEST_F(ScriptRun, LinesLeftWhenMainReturnsAreNamed) {
  runner.emplace(board, parse("run 1ms\n# comment\nrun 5s\nexpect pin PC7 low\nrun 1ms\n"));
  try {
    runner->start();
    board.clock().advanceTo(sim::milliseconds(2));
  } catch (const Stop&) {
  }
  runner->mainReturned();
  auto message = runner->unrunAfterReturn();
  ASSERT_TRUE(message);
  EXPECT_NE(message->find("t.tlscript:3: run 5s"), std::string::npos) << *message;
  EXPECT_NE(message->find("main returned at 0.002 s; lines 3-5 not run"), std::string::npos) << *message;
}

TEST_F(ScriptRun, ExpectMainReturnsEndsTheScriptWhenMainReturns) {
  runner.emplace(board, parse("run 1ms\nexpect main returns within 1s\n"));
  std::optional<Stop> stop;
  try {
    runner->start();
    board.clock().advanceTo(sim::milliseconds(2));
    runner->mainReturned();
    while (board.clock().runToNextEvent()) {
    }
  } catch (const Stop& s) {
    stop = s;
  }
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_FALSE(runner->unrunAfterReturn());
}

TEST_F(ScriptRun, VerboseRunsSayEveryLineWithItsTime) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* trace = open_memstream(&buffer, &size);
  sim::ScriptRunner::Options options;
  options.verbose = true;
  options.trace = trace;
  runner.emplace(board, parse("run 1ms\nprint \"hi\"\n"), options);
  try {
    runner->start();
    while (board.clock().runToNextEvent()) {
    }
  } catch (const Stop&) {
  }
  std::fclose(trace);
  std::string text(buffer, size);
  std::free(buffer);
  EXPECT_EQ(text, "0.000000 s  t.tlscript:1: run 1ms\n0.001000 s  t.tlscript:2: print \"hi\"\n");
}

}  // namespace

namespace {

// The ZigBee line: what a peer sends reaches the board through the module,
// and a wait on it shows what the board sent on USART3.
TEST_F(ScriptRun, ZigbeeBytesGoThroughTheModuleWhichDropsThemInReset) {
  auto stop = run("set pin ZB_RESET low\nsend zigbee \"abc\"\nrun 1ms\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Completed);
  EXPECT_EQ(board.zigbee().droppedFromPeer(), 3u);
}

TEST_F(ScriptRun, AFailedZigbeeWaitShowsWhatTheBoardSentOnUsart3) {
  auto stop = run("wait zigbee \"OK\" within 2ms\n");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StopKind::Failed);
  std::string message = stop->what();
  EXPECT_NE(message.find("expected zigbee text \"OK\" within 0.002000 s"), std::string::npos) << message;
  EXPECT_NE(message.find("the board sent on USART3: \"\""), std::string::npos) << message;
}

// Sensor values and I2C faults act at once, so the monitor and --set take them.
TEST(ImmediateCommands, SensorValuesAndFaultsActAtOnceAndWaitsAreRefused) {
  sim::Board board;
  for (const char* text : {"set htu21.temperature 30.5", "fault i2c 0x40 nack-data 2"}) {
    auto line = sim::parseScriptLine(text, "monitor", 1);
    ASSERT_TRUE(line) << text;
    sim::runImmediate(board, *line, stdout);
  }
  EXPECT_EQ(board.values().get("htu21.temperature"), std::vector<double>{30.5});
  ASSERT_TRUE(board.i2cBus1().fault(0x40));
  EXPECT_EQ(board.i2cBus1().fault(0x40)->n, 2u);

  auto clear = sim::parseScriptLine("fault clear", "monitor", 1);
  sim::runImmediate(board, *clear, stdout);
  EXPECT_FALSE(board.i2cBus1().fault(0x40));

  auto wait = sim::parseScriptLine("wait zigbee \"x\"", "monitor", 1);
  EXPECT_THROW(sim::runImmediate(board, *wait, stdout), sim::ImmediateCommandError);
  EXPECT_THROW(sim::parseScriptLine("set htu21.temperature 999", "monitor", 1), sim::ScriptError);
}

}  // namespace
