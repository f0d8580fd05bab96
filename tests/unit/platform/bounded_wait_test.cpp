// The firmware's bounded waits on a status flag: how many polls a wait makes
// before it gives up, and that polls the virtual board lets pass at once change
// neither the result, nor the polls counted, nor the virtual time the wait ends.
// The flag waited for here is RXNE of the ZigBee port, which stays clear: no
// byte arrives.
#include "bounded_wait.h"

#include <gtest/gtest.h>

#include "firmware_board.h"

namespace {

struct WaitOutcome {
  bool result;
  sim::Time took;
  std::uint64_t polls;       // reads made plus polls passed at once
  std::uint64_t skipped;     // polls passed at once
  std::uint64_t ticksAtEnd;  // SysTick handler entries the wait saw (TimingDelay counted down)
};

bool ByteWaiting() { return (USART3->SR & USART_SR_RXNE) != 0u; }

// Runs `wait` once on a freshly brought-up board, with poll skipping on or off.
template <typename Wait>
WaitOutcome Measure(bool pollSkipping, std::uint32_t delayTicks, Wait wait) {
  FirmwareBoard b;
  b.board.setPollSkipping(pollSkipping);
  TimingDelay = delayTicks;
  const sim::Time start = b.now();
  const std::uint64_t accesses = b.board.registerAccesses();
  const std::uint64_t skippedBefore = b.board.skippedPolls();
  WaitOutcome o{};
  o.result = wait();
  o.took = b.now() - start;
  o.skipped = b.board.skippedPolls() - skippedBefore;
  o.polls = b.board.registerAccesses() - accesses + o.skipped;
  o.ticksAtEnd = delayTicks - TimingDelay;
  return o;
}

void ExpectAlike(const WaitOutcome& skipping, const WaitOutcome& polling) {
  EXPECT_EQ(skipping.result, polling.result);
  EXPECT_EQ(skipping.took, polling.took);
  EXPECT_EQ(skipping.polls, polling.polls);
  EXPECT_EQ(skipping.ticksAtEnd, polling.ticksAtEnd);
  EXPECT_EQ(polling.skipped, 0u);
}

// Long enough to span several 1 ms ticks at 32 MHz.
constexpr std::uint32_t kBudget = 40'000;

TEST(BoundedWait, AFlagThatNeverComesEndsTheWaitAfterExactlyItsBudgetWithOrWithoutSkipping) {
  auto wait = [] { return Platform_Wait_Bounded(kBudget, ByteWaiting); };
  WaitOutcome skipping = Measure(true, 0, wait);
  WaitOutcome polling = Measure(false, 0, wait);
  EXPECT_FALSE(skipping.result);
  EXPECT_EQ(polling.polls, kBudget);
  ExpectAlike(skipping, polling);
  EXPECT_GT(skipping.skipped, kBudget / 2);
}

TEST(BoundedWait, TheCountdownMakesOneMorePollThanItsTimeoutAndAlwaysMakesTheLastOne) {
  auto wait = [] { return Platform_Wait_Countdown(kBudget, ByteWaiting); };
  WaitOutcome skipping = Measure(true, 0, wait);
  WaitOutcome polling = Measure(false, 0, wait);
  EXPECT_FALSE(skipping.result);
  EXPECT_EQ(polling.polls, kBudget + 1u);
  ExpectAlike(skipping, polling);
  EXPECT_GT(skipping.skipped, kBudget / 2);
  EXPECT_LE(skipping.skipped, kBudget - 1u);
}

TEST(BoundedWait, AFailureAHandlerRecordsEndsTheWaitBeforeItsNextPollWithOrWithoutSkipping) {
  // The tick handler counts TimingDelay down; its reaching 0 stands for a
  // failure an error handler records while the wait polls.
  auto wait = [] { return Platform_Wait_Bounded(kBudget, ByteWaiting, [] { return TimingDelay == 0u; }); };
  WaitOutcome skipping = Measure(true, 2, wait);
  WaitOutcome polling = Measure(false, 2, wait);
  EXPECT_FALSE(skipping.result);
  EXPECT_EQ(polling.ticksAtEnd, 2u);
  EXPECT_LT(polling.polls, kBudget);
  ExpectAlike(skipping, polling);
  EXPECT_GT(skipping.skipped, 0u);
}

TEST(BoundedWait, AFlagAlreadySetEndsEveryKindOfWaitWithItsFirstPoll) {
  FirmwareBoard b;
  std::uint32_t polls = 0;
  auto set = [&polls] {
    ++polls;
    return true;
  };
  EXPECT_TRUE(Platform_Wait_Bounded(kBudget, set));
  EXPECT_TRUE(Platform_Wait_Bounded(kBudget, set, [] { return true; }));
  EXPECT_TRUE(Platform_Wait_Countdown(0, set));
  EXPECT_EQ(polls, 3u);
  // A budget of none makes no poll at all.
  EXPECT_FALSE(Platform_Wait_Bounded(0, set));
  EXPECT_EQ(polls, 3u);
}

}  // namespace
