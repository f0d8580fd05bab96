// The console: the firmware's character sink and diagnostic messages as they
// arrive at the operator's terminal on USART1.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "debug.h"
#include "hw_config.h"
#include "platform.h"
#include "sim/board.h"

extern "C" int tl500_fputc(int ch, FILE* f);
extern "C" int tl500_printf(const char* format, ...);

namespace {

// A board with clocks, pins and the console port configured as start-up does it.
struct ConsoleBoard {
  explicit ConsoleBoard(bool crystal = true) : board(sim::BoardConfig{.crystal = crystal, .timing = {}, .vectors = {}}) {
    SystemInit();
    RCC_Configuration();
    GPIO_Configuration();
    USART1_Init_for_Debug();
  }

  // Lets the last byte finish on the line and returns everything the terminal got.
  const std::string& received() {
    board.clock().advanceTo(board.clock().now() + sim::milliseconds(1));
    return board.console().received();
  }

  sim::Board board;
};

TEST(Console, ALineFeedLeavesAsCarriageReturnAndLineFeed) {
  ConsoleBoard b;
  tl500_printf("a\nb");
  EXPECT_EQ(b.received(), std::string("a\r\nb"));
}

TEST(Console, ACarriageReturnIsSentUnchangedAndNotDoubled) {
  ConsoleBoard b;
  tl500_printf("x\ry");
  tl500_fputc('\r', stdout);
  EXPECT_EQ(b.received(), std::string("x\ry\r"));
}

TEST(Console, TheSinkReturnsItsArgumentForEveryValueAndSendsItsLowByte) {
  ConsoleBoard b;
  std::string expected;
  for (int ch = 0; ch < 256; ++ch) {
    EXPECT_EQ(tl500_fputc(ch, stdout), ch);
    if (ch == '\n') expected += '\r';
    expected += static_cast<char>(ch);
  }
  EXPECT_EQ(tl500_fputc(0x141, nullptr), 0x141);  // the stream is ignored, the low byte goes out
  expected += 'A';
  EXPECT_EQ(b.received(), expected);
}

TEST(Console, DiagnosticMessagesHaveTheirExactForm) {
  ConsoleBoard b;
  DebugMsg_FunctionError("f", 7);
  EXPECT_EQ(b.received(), std::string("[ERROR] f() 7\r\n"));
  DebugMsg_FunctionStart("f");
  EXPECT_EQ(b.received(), std::string("[ERROR] f() 7\r\nf() S\r\n"));
}

TEST(Console, EachCharacterTakesOneFrameTimeOnTheLine) {
  ConsoleBoard b;
  EXPECT_EQ(USART1->BRR, 0x116);
  std::vector<sim::Time> arrivals;
  sim::Subscription listening =
      b.board.console().onByte([&](std::uint8_t) { arrivals.push_back(b.board.clock().now()); });
  tl500_printf("abc\n");
  b.received();
  ASSERT_EQ(arrivals.size(), 5u);
  // 10 bits of 0x116 cycles of PCLK2 at 32 MHz: 86.875 us, back to back.
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    EXPECT_EQ(arrivals[i] - arrivals[i - 1], sim::cyclesToTime(2780, 32'000'000)) << i;
  }
}

TEST(Console, OnTheFallbackClockTheTerminalStillReadsTheText) {
  ConsoleBoard b(false);
  EXPECT_EQ(USART1->BRR, 0x12);
  tl500_printf("MSI ok\n");
  EXPECT_EQ(b.received(), std::string("MSI ok\r\n"));
  EXPECT_EQ(b.board.console().framingErrors(), 0u);
}

TEST(Console, APortFarOffTheTerminalsRateShowsGarbageAndFramingErrorsNotText) {
  ConsoleBoard b;
  USART1->BRR = 0x116 * 6 / 5;  // 20 % slow
  tl500_printf("ab");
  // The terminal reads the board's bits at its own centres: 'a' becomes 0xC1,
  // and the frames after it go out of step.
  const std::string& shown = b.received();
  EXPECT_EQ(shown.find("ab"), std::string::npos);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(static_cast<std::uint8_t>(shown[0]), 0xC1);
  EXPECT_GE(b.board.console().framingErrors(), 1u);
}

}  // namespace

namespace {

TEST(Console, OutputToADeadPortGivesUpInsteadOfHangingTheBoard) {
  ConsoleBoard b;
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, DISABLE);
  sim::Time before = b.board.clock().now();
  EXPECT_EQ(tl500_printf("lost\n"), 5);
  // Six characters on the wire, each given up after its poll budget.
  EXPECT_LT(b.board.clock().now() - before, sim::milliseconds(100));

  RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, ENABLE);
  tl500_printf("back");
  EXPECT_EQ(b.received(), std::string("back"));
}

}  // namespace
