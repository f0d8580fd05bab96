// The I2C waits poll SR1, SR2 or CR1 with a budget of polls. The virtual board
// lets polls that cannot see a change pass at once; every transfer, good or
// failed, must end at the same virtual time with the same result and the same
// bytes as when every poll is made, and a wait that gives up does so after
// exactly its budget.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <optional>

#include "i2c_firmware_fixture.h"

namespace {

using Kind = sim::I2cFault::Kind;
constexpr std::uint8_t kChip = I2cFirmwareBoard::kChip;
constexpr std::uint32_t kCr1 = 0x00, kSr1 = 0x14;

struct Outcome {
  Status status = Error;
  std::array<std::uint8_t, 4> data{};
  sim::Time took = 0;
  std::uint64_t polls = 0;    // register accesses modelled plus polls let pass
  std::uint64_t skipped = 0;  // polls let pass at once
  std::map<std::uint32_t, std::uint64_t> longestRuns;  // see Options::countPolls
};

// The longest run of back-to-back reads of each register, from a board whose
// every access is watched (which also makes every poll an access of its own).
struct PollRuns {
  explicit PollRuns(sim::I2cPeripheral& i2c)
      : watch(i2c.onAccess([this](std::uint32_t offset, bool write, std::uint16_t) {
          run = write || offset != last ? 0 : run;
          last = write ? ~0u : offset;
          if (!write && ++run > longest[offset]) longest[offset] = run;
        })) {}
  std::map<std::uint32_t, std::uint64_t> longest;
  std::uint32_t last = ~0u;
  std::uint64_t run = 0;
  sim::Subscription watch;
};

struct Options {
  bool errorInterrupt = true;  // off: no handler touches the peripheral
  bool countPolls = false;     // fill Outcome::longestRuns (every poll is then made)
};

// One transfer on a fresh board (the chip with `fault`, if any), poll skipping on or off.
template <typename Transfer>
Outcome transferOnce(bool pollSkipping, std::optional<sim::I2cFault> fault, Transfer transfer, Options options = {}) {
  I2cFirmwareBoard b;
  b.board.setPollSkipping(pollSkipping);
  if (fault) b.board.setI2cFault(kChip, *fault);
  if (!options.errorInterrupt) {
    NVIC_InitTypeDef off{I2C1_ER_IRQn, 0, 0, DISABLE};
    NVIC_Init(&off);
  }
  std::optional<PollRuns> runs;
  if (options.countPolls) runs.emplace(b.board.i2c1());
  Outcome o;
  const sim::Time started = b.now();
  const std::uint64_t accesses = b.board.registerAccesses();
  o.status = transfer(o.data);
  o.took = b.elapsedSince(started);
  o.skipped = b.board.skippedPolls();
  o.polls = b.board.registerAccesses() - accesses + o.skipped;
  if (runs) o.longestRuns = runs->longest;
  return o;
}

void expectAlike(const Outcome& skipping, const Outcome& polling) {
  EXPECT_EQ(skipping.status, polling.status);
  EXPECT_EQ(skipping.data, polling.data);
  EXPECT_EQ(skipping.took, polling.took);
  EXPECT_EQ(skipping.polls, polling.polls);
  EXPECT_EQ(polling.skipped, 0u);
}

Status PollingRead3(std::array<std::uint8_t, 4>& data) {
  return I2C_Master_BufferRead(I2C1, data.data(), 3, Polling, kChip << 1);
}
Status PollingRead2(std::array<std::uint8_t, 4>& data) {
  return I2C_Master_BufferRead(I2C1, data.data(), 2, Polling, kChip << 1);
}
Status PollingRead1(std::array<std::uint8_t, 4>& data) {
  return I2C_Master_BufferRead(I2C1, data.data(), 1, Polling, kChip << 1);
}
Status PollingWrite3(std::array<std::uint8_t, 4>&) {
  std::array<std::uint8_t, 3> bytes{0x10, 0x55, 0x66};
  return I2C_Master_BufferWrite(I2C1, bytes.data(), 3, Polling, kChip << 1);
}
Status InterruptWrite2(std::array<std::uint8_t, 4>&) {
  Buffer_Tx1[0] = 0x10;
  Buffer_Tx1[1] = 0x55;
  return I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 2, Interrupt, kChip << 1);
}
Status InterruptRead3(std::array<std::uint8_t, 4>& data) {
  Status s = I2C_Master_BufferRead(I2C1, data.data(), 3, Interrupt, kChip << 1);
  std::copy(Buffer_Rx1, Buffer_Rx1 + 3, data.begin());
  return s;
}

struct Case {
  const char* name;
  std::optional<sim::I2cFault> fault;  // none: a healthy chip
  Status (*transfer)(std::array<std::uint8_t, 4>&);
  Status expected;
};

const Case kCases[] = {
    {"polling read of 3", std::nullopt, PollingRead3, Success},
    {"polling read of 2", std::nullopt, PollingRead2, Success},
    {"polling read of 1", std::nullopt, PollingRead1, Success},
    {"polling write of 3", std::nullopt, PollingWrite3, Success},
    {"interrupt write of 2", std::nullopt, InterruptWrite2, Success},
    {"interrupt read of 3", std::nullopt, InterruptRead3, Success},
    {"polling read, chip absent", sim::I2cFault{Kind::Absent, 0}, PollingRead3, Error},
    {"interrupt write, chip absent", sim::I2cFault{Kind::Absent, 0}, InterruptWrite2, Error},
    {"polling write, second byte refused", sim::I2cFault{Kind::NackData, 2}, PollingWrite3, Error},
    {"interrupt write, first byte refused", sim::I2cFault{Kind::NackData, 1}, InterruptWrite2, Error},
    {"polling read, arbitration lost", sim::I2cFault{Kind::ArbitrationLost, 0}, PollingRead2, Error},
    {"interrupt write, bus error", sim::I2cFault{Kind::BusError, 0}, InterruptWrite2, Error},
};

TEST(I2cWaitSkipping, EveryTransferEndsAtTheSameVirtualTimeWithOrWithoutSkipping) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Outcome skipping = transferOnce(true, c.fault, c.transfer);
    Outcome polling = transferOnce(false, c.fault, c.transfer);
    EXPECT_EQ(skipping.status, c.expected);
    expectAlike(skipping, polling);
    EXPECT_GT(skipping.skipped, 0u);
  }
}

TEST(I2cWaitBudget, TheAddressWaitOnAMissingChipGivesUpAfterExactly65536PollsSkippingOrNot) {
  // The error interrupt stays off: once the address is out nothing but the
  // wait touches the peripheral.
  Options quiet{.errorInterrupt = false};
  Outcome skipping = transferOnce(true, sim::I2cFault{Kind::Absent, 0}, PollingRead1, quiet);
  Outcome polling = transferOnce(false, sim::I2cFault{Kind::Absent, 0}, PollingRead1, quiet);
  quiet.countPolls = true;
  Outcome counted = transferOnce(false, sim::I2cFault{Kind::Absent, 0}, PollingRead1, quiet);
  EXPECT_EQ(skipping.status, Error);
  expectAlike(skipping, polling);
  EXPECT_EQ(counted.took, polling.took);
  EXPECT_EQ(counted.longestRuns[kSr1], I2C_FLAG_TIMEOUT + 1u);
  // Each 1 ms tick ends one stretch of skipped polls; the rest pass at once.
  EXPECT_GT(skipping.skipped, I2C_FLAG_TIMEOUT - 100u);
}

TEST(I2cWaitBudget, AChipThatNeverLetsGoOfTheClockUsesUpTheLongBudgetTwiceSkippingOrNot) {
  // The byte never comes (BTF), and the STOP asked for then never goes out:
  // two long waits run out, and the peripheral is reset.
  const sim::I2cFault stuck{Kind::StretchForever, 0};
  Outcome skipping = transferOnce(true, stuck, PollingRead2);
  Outcome polling = transferOnce(false, stuck, PollingRead2, {.countPolls = true});
  EXPECT_EQ(skipping.status, Error);
  expectAlike(skipping, polling);
  EXPECT_EQ(polling.longestRuns[kSr1], I2C_Long_Wait_Budget());
  EXPECT_EQ(polling.longestRuns[kCr1], I2C_Long_Wait_Budget());
  EXPECT_GT(skipping.skipped, 2 * I2C_Long_Wait_Budget() - 1000u);
  // At 4 core cycles a poll, some 100 ms per wait at 32 MHz.
  EXPECT_GE(skipping.took, 2 * sim::cyclesToTime(4ull * I2C_Long_Wait_Budget(), 32'000'000));
}

TEST(I2cWaitBudget, AnInterruptDrivenWriteToAStuckChipGivesUpAtTheSameTimeSkippingOrNot) {
  // The bus never goes idle: the wait on BUSY in SR2 runs out.
  const sim::I2cFault stuck{Kind::StretchForever, 0};
  Outcome skipping = transferOnce(true, stuck, InterruptWrite2);
  Outcome polling = transferOnce(false, stuck, InterruptWrite2);
  EXPECT_EQ(skipping.status, Error);
  expectAlike(skipping, polling);
  EXPECT_GT(skipping.skipped, I2C_Long_Wait_Budget() - 1000u);
}

}  // namespace
