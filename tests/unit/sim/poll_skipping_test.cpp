// The board lets a poll loop's identical reads pass at once only while the
// register's model says they are steady. A model whose steadiness changes with
// its state must be asked again after every event: once it is no longer
// steady, each poll is made, and the loop sees what polling one access at a
// time would have seen.
#include <gtest/gtest.h>

#include "sim/board.h"

namespace {

constexpr std::uint32_t kBase = 0x40007C00u;  // a free slot of the peripheral space
constexpr std::uint32_t kBudget = 100'000;

// A status register that reads 0 and is steady until an event starts it
// counting: from then on every read counts down, and the fifth shows 1. No
// event announces that change, so the model stops calling its reads steady.
class CountingStatus : public sim::Peripheral {
 public:
  std::string name() const override { return "counting status"; }
  std::uint32_t read(std::uint32_t, unsigned) override {
    if (counting && left > 0 && --left == 0) value = 1;
    return value;
  }
  void write(std::uint32_t, unsigned, std::uint32_t) override {}
  bool steadyRead(std::uint32_t) const override { return !counting; }

  bool counting = false;
  int left = 5;
  std::uint32_t value = 0;
};

struct Polled {
  bool seen;           // the loop found the flag within its budget
  std::uint32_t polls;  // polls the loop counted, skipped ones included
  sim::Time took;
};

// The console's transmit wait, on the counting register instead of TXE.
Polled pollOnce(bool pollSkipping, sim::Time startCounting) {
  sim::Board board{sim::BoardConfig{.crystal = true, .timing = {}, .vectors = {}}};
  board.setPollSkipping(pollSkipping);
  CountingStatus status;
  board.bus().map(kBase, 0x400, status);
  const sim::Time start = board.clock().now();
  board.clock().after(startCounting, [&status] { status.counting = true; });
  for (std::uint32_t polls = 0; polls < kBudget; ++polls) {
    if (board.firmwareRead(kBase + 4, 4) != 0) return {true, polls, board.clock().now() - start};
    polls += board.firmwarePollsSkipped(kBudget - polls - 1);
  }
  return {false, kBudget, board.clock().now() - start};
}

TEST(PollSkipping, AModelThatStopsBeingSteadyAtAnEventIsPolledReadByReadFromThen) {
  for (sim::Time at : {sim::microseconds(1), sim::microseconds(250), sim::milliseconds(3)}) {
    SCOPED_TRACE(sim::formatTime(at));
    Polled skipping = pollOnce(true, at);
    Polled polling = pollOnce(false, at);
    EXPECT_TRUE(skipping.seen);
    EXPECT_EQ(skipping.polls, polling.polls);
    EXPECT_EQ(skipping.took, polling.took);
  }
}

TEST(PollSkipping, ALoopWhoseRegisterNeverChangesGivesUpAfterItsBudgetAtTheSameTime) {
  // The event comes after the budget has run out.
  Polled skipping = pollOnce(true, sim::seconds(10));
  Polled polling = pollOnce(false, sim::seconds(10));
  EXPECT_FALSE(skipping.seen);
  EXPECT_FALSE(polling.seen);
  EXPECT_EQ(skipping.took, polling.took);
}

}  // namespace
