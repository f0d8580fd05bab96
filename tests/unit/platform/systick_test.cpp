// The core tick: SysTick_Config's limits and programming, the 1 ms interrupt
// in virtual time, and the millisecond delay built on it.
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
