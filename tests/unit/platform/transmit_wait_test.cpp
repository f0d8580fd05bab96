// The console's transmit wait polls TXE with a budget of polls. The virtual
// board lets polls that cannot see a change pass at once; a wait must end at
// the same virtual time, with the same result, as when every poll is made.
#include <gtest/gtest.h>

#include "hw_config.h"
#include "platform.h"
#include "sim/board.h"

namespace {

struct WaitOutcome {
  bool empty;                   // what the wait returned
  sim::Time took;               // virtual time the wait took
  std::uint64_t accesses;       // register accesses modelled during the wait
  std::uint64_t skipped;        // polls that passed at once
  bool operator==(const WaitOutcome& o) const { return empty == o.empty && took == o.took; }
};

// A board with the console port set up as start-up does; `prepare` then puts
// the port in the state to wait in, and the transmit wait runs once.
template <typename Prepare>
WaitOutcome waitOnce(bool pollSkipping, Prepare prepare) {
  sim::Board board{sim::BoardConfig{.crystal = true, .timing = {}, .vectors = {}}};
  board.setPollSkipping(pollSkipping);
  SystemInit();
  RCC_Configuration();
  GPIO_Configuration();
  USART1_Init_for_Debug();
  prepare();
  sim::Time start = board.clock().now();
  std::uint64_t accesses = board.registerAccesses();
  bool empty = Serial_Wait_TxEmpty(USART1);
  return WaitOutcome{empty, board.clock().now() - start, board.registerAccesses() - accesses, board.skippedPolls()};
}

// One poll: a modelled read of SR at the core's 32 MHz.
constexpr sim::Time kPoll = sim::cyclesToTime(sim::Board::kCyclesPerAccess, 32'000'000);

TEST(TransmitWait, OnAPortWhoseClockIsOffItGivesUpAfterExactlyItsBudgetWithOrWithoutSkipping) {
  auto clockOff = [] { RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, DISABLE); };
  WaitOutcome skipping = waitOnce(true, clockOff);
  WaitOutcome polling = waitOnce(false, clockOff);
  EXPECT_FALSE(skipping.empty);
  EXPECT_EQ(skipping.took, SERIAL_TX_POLL_BUDGET * kPoll);
  EXPECT_EQ(skipping, polling);
  // The stopped port cannot say when its flags change: every poll is made.
  EXPECT_EQ(skipping.skipped, 0u);
  EXPECT_EQ(skipping.accesses, SERIAL_TX_POLL_BUDGET);
}

TEST(TransmitWait, AFrameLongerThanTheBudgetEndsTheWaitAtTheBudgetNotAtTheFrame) {
  // The slowest rate the divisor allows: one frame takes some 20 ms, the
  // budget of polls about 8 ms.
  auto slowPortBusy = [] {
    USART1->BRR = 0xFFFF;
    USART_SendData(USART1, 'a');  // straight into the shift register
    USART_SendData(USART1, 'b');  // waits in the data register
  };
  WaitOutcome skipping = waitOnce(true, slowPortBusy);
  WaitOutcome polling = waitOnce(false, slowPortBusy);
  EXPECT_FALSE(skipping.empty);
  EXPECT_EQ(skipping.took, SERIAL_TX_POLL_BUDGET * kPoll);
  EXPECT_EQ(skipping, polling);
  EXPECT_LT(skipping.accesses, 10u);
}

TEST(TransmitWait, ABusyPortIsWaitedForToTheSameAccessSlotWithOrWithoutSkipping) {
  auto portBusy = [] {
    USART_SendData(USART1, 'a');
    USART_SendData(USART1, 'b');
  };
  WaitOutcome skipping = waitOnce(true, portBusy);
  WaitOutcome polling = waitOnce(false, portBusy);
  EXPECT_TRUE(skipping.empty);
  EXPECT_EQ(skipping, polling);
  // About one frame of 10 bits at 115200 bit/s, in whole polls.
  EXPECT_EQ(skipping.took % kPoll, 0u);
  EXPECT_NEAR(sim::toMicroseconds(skipping.took), 86.8, 1.0);
  EXPECT_GT(polling.accesses, 600u);
  EXPECT_LT(skipping.accesses, 10u);
  EXPECT_EQ(skipping.accesses + skipping.skipped, polling.accesses);
}

}  // namespace
