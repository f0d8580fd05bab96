// The core tick: SysTick_Config's limits and programming, the counter itself,
// the 1 ms interrupt in virtual time, and the millisecond delay built on it.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hw_config.h"
#include "platform.h"
#include "sim/board.h"
#include "sim/host/firmware_vectors.h"

namespace {

using sim::InterruptController;

// ---------------------------------------------------------------- SysTick_Config

TEST(SysTickConfig, RefusesZeroAndReloadsBeyondTwentyFourBitsAndChangesNothing) {
  sim::Board board;
  EXPECT_EQ(SysTick_Config(0), 1u);
  EXPECT_EQ(SysTick_Config(16'777'217), 1u);
  EXPECT_EQ(SysTick->LOAD, 0u);
  EXPECT_EQ(SysTick->CTRL, 0u);
  EXPECT_EQ(SCB->SHPR[11], 0);
}

TEST(SysTickConfig, AcceptsOneAndTheFullTwentyFourBitRange) {
  sim::Board board;
  EXPECT_EQ(SysTick_Config(1), 0u);
  EXPECT_EQ(SysTick->LOAD, 0u);
  EXPECT_EQ(SysTick_Config(16'777'216), 0u);
  EXPECT_EQ(SysTick->LOAD, 0xFFFFFFu);
}

TEST(SysTickConfig, OneMillisecondAtThirtyTwoMegahertzRunsOnTheCoreClockAtTheLowestPriority) {
  sim::Board board;
  EXPECT_EQ(SysTick_Config(32'000), 0u);
  EXPECT_EQ(SysTick->LOAD, 31'999u);
  EXPECT_EQ(SCB->SHPR[11], 0xF0);
  EXPECT_EQ(SysTick->CTRL & 0x7u, SysTick_CTRL_CLKSOURCE | SysTick_CTRL_TICKINT | SysTick_CTRL_ENABLE);
}

// ---------------------------------------------------------------- the counter

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

// ---------------------------------------------------------------- tick and delay

class SysTickTick : public ::testing::Test {
 protected:
  SysTickTick() : board(sim::BoardConfig{.crystal = true, .timing = {}, .vectors = sim::firmwareVectors()}) {
    TimingDelay = 0;
    board.interrupts().onEntry([this](int exception) {
      if (exception == InterruptController::kSysTick) ticks.push_back(board.clock().cycles());
    });
    SystemInit();
  }

  sim::Board board;
  std::vector<std::uint64_t> ticks;  // core cycle count at each SysTick_Handler entry
};

TEST_F(SysTickTick, InterruptsComeEveryThirtyTwoThousandCoreCyclesAtThirtyTwoMegahertz) {
  ASSERT_EQ(board.clock().coreHz(), 32'000'000u);
  ASSERT_EQ(SysTick_Config(32'000), 0u);
  Delay(10);
  ASSERT_GE(ticks.size(), 10u);
  for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_EQ(ticks[i] - ticks[i - 1], 32'000u) << "tick " << i;
}

TEST_F(SysTickTick, DelayOfZeroReturnsWithoutWaitingForATick) {
  ASSERT_EQ(SysTick_Config(32'000), 0u);
  std::uint64_t before = board.clock().cycles();
  Delay(0);
  EXPECT_TRUE(ticks.empty());
  EXPECT_LT(board.clock().cycles() - before, 100u);
}

TEST_F(SysTickTick, DelayReturnsAfterTheHundredthTickFollowingItsStart) {
  ASSERT_EQ(SysTick_Config(32'000), 0u);
  Delay(3);  // somewhere inside a millisecond, as in the firmware
  board.clock().spendCycles(12'345);
  std::size_t before = ticks.size();
  std::uint64_t start = board.clock().cycles();
  delay_100_milli_second();
  EXPECT_EQ(ticks.size() - before, 100u);
  EXPECT_EQ(TimingDelay, 0u);
  std::uint64_t waited = board.clock().cycles() - start;
  EXPECT_GT(waited, 99u * 32'000u);
  EXPECT_LE(waited, 100u * 32'000u + 100u);
}

TEST(SysTickClockSwitch, AfterTheSwitchToThePllTheTickCountsCyclesOfTheNewClock) {
  sim::Board board(sim::BoardConfig{.crystal = true, .timing = {}, .vectors = sim::firmwareVectors()});
  std::vector<std::uint64_t> ticks;
  board.interrupts().onEntry([&](int exception) {
    if (exception == InterruptController::kSysTick) ticks.push_back(board.clock().cycles());
  });
  ASSERT_EQ(SysTick_Config(2'097), 0u);  // 1 ms on MSI
  Delay(2);
  SystemInit();
  ASSERT_EQ(board.clock().coreHz(), 32'000'000u);
  ticks.clear();
  Delay(3);
  ASSERT_GE(ticks.size(), 3u);
  EXPECT_EQ(ticks[2] - ticks[1], 2'097u);
  TimingDelay = 0;
}

TEST(TimingDelay, DecrementingAtZeroStaysAtZero) {
  TimingDelay = 0;
  TimingDelay_Decrement();
  EXPECT_EQ(TimingDelay, 0u);
  TimingDelay = 2;
  TimingDelay_Decrement();
  EXPECT_EQ(TimingDelay, 1u);
  TimingDelay = 0;
}

}  // namespace
