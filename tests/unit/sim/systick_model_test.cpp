// The SysTick model: the 24-bit down-counter, its wrap flag cleared by reading
// CTRL, a write to VAL restarting the count, and the reference clock.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform.h"
#include "sim/board.h"

namespace {

using sim::InterruptController;

TEST(SysTickCounter, CountsDownFromTheReloadAndFlagsTheWrapUntilCtrlIsRead) {
  sim::Board board;  // MSI; no interrupt: TICKINT stays off
  SysTick->LOAD = 999;
  SysTick->VAL = 0;
  SysTick->CTRL = SysTick_CTRL_CLKSOURCE | SysTick_CTRL_ENABLE;
  std::uint32_t first = SysTick->VAL;
  std::uint32_t second = SysTick->VAL;
  EXPECT_LE(first, 999u);
  EXPECT_EQ(first - second, sim::Board::kCyclesPerAccess);
  EXPECT_EQ(SysTick->CTRL & SysTick_CTRL_COUNTFLAG, 0u);

  board.clock().spendCycles(1000);
  EXPECT_NE(SysTick->CTRL & SysTick_CTRL_COUNTFLAG, 0u);
  EXPECT_EQ(SysTick->CTRL & SysTick_CTRL_COUNTFLAG, 0u);  // cleared by the read before
  EXPECT_EQ(board.sysTick().wraps(), 1u);
  EXPECT_FALSE(board.interrupts().isPending(InterruptController::kSysTick));
}

TEST(SysTickCounter, WritingValRestartsTheCountAndClearsTheFlag) {
  sim::Board board;
  SysTick->LOAD = 99;
  SysTick->CTRL = SysTick_CTRL_CLKSOURCE | SysTick_CTRL_ENABLE;
  board.clock().spendCycles(150);
  SysTick->VAL = 12345;  // any value clears the counter
  EXPECT_EQ(SysTick->CTRL & SysTick_CTRL_COUNTFLAG, 0u);
  std::uint64_t wraps = board.sysTick().wraps();
  // Back to 0, the next edge reloads: the next wrap is 100 edges after the write.
  board.clock().spendCycles(100 - sim::Board::kCyclesPerAccess - 1);  // the CTRL read spent the others
  EXPECT_EQ(board.sysTick().wraps(), wraps);
  board.clock().spendCycles(1);
  EXPECT_EQ(board.sysTick().wraps(), wraps + 1);
}

TEST(SysTickCounter, TheReferenceClockIsTheCoreClockDividedByEight) {
  sim::Board board;
  SysTick->LOAD = 99;
  SysTick->VAL = 0;
  SysTick->CTRL = SysTick_CTRL_ENABLE;  // CLKSOURCE 0
  board.clock().spendCycles(8 * 100 - 1);
  EXPECT_EQ(board.sysTick().wraps(), 0u);
  board.clock().spendCycles(1);
  EXPECT_EQ(board.sysTick().wraps(), 1u);
}

}  // namespace
