// The board lets a poll loop's identical reads pass at once only while the
// register's model says they are steady. A model whose steadiness changes with
// its state must be asked again after every event: once it is no longer
// steady, each poll is made, and the loop sees what polling one access at a
// time would have seen.
#include <gtest/gtest.h>

#include "platform.h"
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

// A status register that only the firmware's own write sets: the handler of
// an interrupt that comes right after a poll ends the loop's wait itself (as
// the I2C event handler ends a transfer with its STOP while the main loop
// waits for the bus to go idle).
class SetByWrite : public sim::Peripheral {
 public:
  std::string name() const override { return "status set by a write"; }
  std::uint32_t read(std::uint32_t, unsigned) override { return value; }
  void write(std::uint32_t, unsigned, std::uint32_t v) override { value = v; }
  bool steadyRead(std::uint32_t) const override { return true; }
  std::uint32_t value = 0;
};

sim::Board* g_board = nullptr;
void setStatusHandler() { g_board->firmwareWrite(kBase, 4, 1); }

Polled pollPastHandler(bool pollSkipping) {
  std::vector<sim::InterruptController::Vector> vectors(sim::InterruptController::kExceptions,
                                                        sim::InterruptController::Vector{"reserved", nullptr});
  vectors[sim::InterruptController::irq(EXTI0_IRQn)] = {"EXTI0", setStatusHandler};
  sim::Board board{sim::BoardConfig{.crystal = true, .timing = {}, .vectors = std::move(vectors)}};
  g_board = &board;
  board.setPollSkipping(pollSkipping);
  SetByWrite status;
  board.bus().map(kBase, 0x400, status);
  NVIC_InitTypeDef line{static_cast<std::uint8_t>(EXTI0_IRQn), 1, 0, ENABLE};
  NVIC_Init(&line);
  const sim::Time start = board.clock().now();
  Polled result{false, kBudget, 0};
  for (std::uint32_t polls = 0; polls < kBudget; ++polls) {
    // The interrupt pends as the first poll is made: its handler runs right after it.
    if (polls == 0) board.interrupts().setPending(sim::InterruptController::irq(EXTI0_IRQn));
    if (board.firmwareRead(kBase, 4) != 0) {
      result = {true, polls, board.clock().now() - start};
      break;
    }
    polls += board.firmwarePollsSkipped(kBudget - polls - 1);
  }
  if (!result.seen) result.took = board.clock().now() - start;
  g_board = nullptr;
  return result;
}

TEST(PollSkipping, AHandlerRightAfterAPollThatChangesTheRegisterIsSeenByTheNextPoll) {
  Polled skipping = pollPastHandler(true);
  Polled polling = pollPastHandler(false);
  EXPECT_TRUE(polling.seen);
  EXPECT_TRUE(skipping.seen) << "polls passed at once on the value read before the handler";
  EXPECT_EQ(skipping.polls, polling.polls);
  EXPECT_EQ(skipping.took, polling.took);
}

}  // namespace
