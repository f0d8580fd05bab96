// Every bus fault ends a transfer with Error within bounded virtual time, and
// the bus serves the next transfer.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "i2c_firmware_fixture.h"

namespace {

using Kind = sim::I2cFault::Kind;
constexpr std::uint8_t kFaulty = I2cFirmwareBoard::kChip;
constexpr std::uint8_t kHealthy = 0x41;

// Generous: the waits after the address phase give up after about 100 ms each.
constexpr sim::Time kBound = sim::milliseconds(500);

struct FaultCase {
  const char* name;
  sim::I2cFault fault;
  bool blocksTheBus;  // a stuck line: nobody gets through until the chip lets go
};

const FaultCase kCases[] = {
    {"absent", {Kind::Absent, 0}, false},
    {"nack-data 2", {Kind::NackData, 2}, false},
    {"arbitration-lost", {Kind::ArbitrationLost, 0}, false},
    {"bus-error", {Kind::BusError, 0}, false},
    {"sda-stuck", {Kind::SdaStuck, 0}, true},
    {"stretch-forever", {Kind::StretchForever, 0}, true},
};

struct FaultBoard : I2cFirmwareBoard {
  FaultBoard() {
    board.i2cBus1().attach(healthy);
    healthy.setReg(0x07, 0x5A);
  }
  ~FaultBoard() { board.i2cBus1().detach(healthy); }

  // A register read and a register write to the healthy chip, as the sensor
  // drivers make them.
  void expectHealthyChipServed() {
    Buffer_Tx1[0] = 0x07;
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 1, Interrupt, kHealthy << 1), Success);
    std::array<std::uint8_t, 2> data{};
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, data.data(), 2, Polling, kHealthy << 1), Success);
    EXPECT_EQ(data[0], 0x5A);
    Buffer_Tx1[0] = 0x09;
    Buffer_Tx1[1] = 0x3C;
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 2, Interrupt, kHealthy << 1), Success);
    EXPECT_EQ(healthy.reg(0x09), 0x3C);
    EXPECT_EQ(I2C1->CR1 & (I2C_CR1_START | I2C_CR1_STOP | I2C_CR1_POS | I2C_CR1_ACK), I2C_CR1_ACK);
    EXPECT_EQ(I2C1->SR2 & (I2C_SR2_BUSY | I2C_SR2_MSL), 0u);
  }

  sim::RegisterFileTarget healthy{kHealthy, "healthy chip"};
};

TEST(I2cFaults, APollingReadEndsWithErrorAndTheNextTransferSucceeds) {
  for (const FaultCase& c : kCases) {
    // In a read the master gives the data acknowledges: a chip refusing
    // written bytes cannot show here.
    if (c.fault.kind == Kind::NackData) continue;
    SCOPED_TRACE(c.name);
    FaultBoard b;
    b.board.setI2cFault(kFaulty, c.fault);
    std::array<std::uint8_t, 2> data{0xEE, 0xEE};
    const sim::Time started = b.now();
    EXPECT_EQ(I2C_Master_BufferRead(I2C1, data.data(), 2, Polling, kFaulty << 1), Error);
    EXPECT_LT(b.elapsedSince(started), kBound);
    if (c.blocksTheBus) b.board.clearI2cFaults();
    b.expectHealthyChipServed();
  }
}

TEST(I2cFaults, AnInterruptDrivenWriteEndsWithErrorAndTheNextTransferSucceeds) {
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.name);
    FaultBoard b;
    sim::I2cFault fault = c.fault;
    if (fault.kind == Kind::ArbitrationLost) fault.n = 1;  // lost in the register address byte
    b.board.setI2cFault(kFaulty, fault);
    Buffer_Tx1[0] = 0x10;
    Buffer_Tx1[1] = 0x55;
    Buffer_Tx1[2] = 0x66;
    const sim::Time started = b.now();
    EXPECT_EQ(I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 3, Interrupt, kFaulty << 1), Error);
    EXPECT_LT(b.elapsedSince(started), kBound);
    EXPECT_EQ(I2C1->CR2 & (I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN), 0u);
    if (c.blocksTheBus) b.board.clearI2cFaults();
    b.expectHealthyChipServed();
  }
}

TEST(I2cFaults, APollingWriteRefusedMidwayEndsWithErrorAndAStop) {
  FaultBoard b;
  b.board.setI2cFault(kFaulty, {Kind::NackData, 2});
  std::array<std::uint8_t, 3> bytes{0x10, 0x55, 0x66};
  EXPECT_EQ(I2C_Master_BufferWrite(I2C1, bytes.data(), 3, Polling, kFaulty << 1), Error);
  ASSERT_EQ(b.log.size(), 1u);
  EXPECT_EQ(b.log[0].end, sim::I2cTransaction::End::Stop);
  ASSERT_EQ(b.log[0].bytes.size(), 2u);
  EXPECT_FALSE(b.log[0].bytes[1].acknowledged);
  EXPECT_EQ(b.chip.reg(0x10), 0xB0);  // the refused byte was not stored
}

// A polling transfer is its routine's own to end: after its polls for ADDR it
// returns Error and leaves the bus to the next transfer, whose START is then
// a repeated START. An interrupt-driven transfer is ended by its STOP.
TEST(I2cFaults, ARefusedAddressEndsAPollingTransferWithoutAStopAndAnInterruptDrivenOneWithIt) {
  for (bool read : {true, false}) {
    SCOPED_TRACE(read ? "read" : "write");
    FaultBoard b;
    b.board.setI2cFault(kFaulty, {Kind::Absent, 0});
    std::array<std::uint8_t, 2> data{0x07, 0x00};
    const Status status = read ? I2C_Master_BufferRead(I2C1, data.data(), 2, Polling, kFaulty << 1)
                               : I2C_Master_BufferWrite(I2C1, data.data(), 2, Polling, kFaulty << 1);
    EXPECT_EQ(status, Error);
    // The peripheral still owns the bus: no STOP asked for, none sent.
    EXPECT_TRUE(b.log.empty());
    EXPECT_EQ(I2C1->CR1 & (I2C_CR1_STOP | I2C_CR1_START), 0u);
    EXPECT_EQ(I2C1->SR2 & (I2C_SR2_MSL | I2C_SR2_BUSY), I2C_SR2_MSL | I2C_SR2_BUSY);
    // The next polling read begins with a repeated START and gets its bytes.
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, data.data(), 2, Polling, kHealthy << 1), Success);
    ASSERT_EQ(b.log.size(), 2u);
    EXPECT_EQ(b.log[0].address, kFaulty);
    EXPECT_FALSE(b.log[0].addressAcknowledged);
    EXPECT_EQ(b.log[0].end, sim::I2cTransaction::End::RepeatedStart);
    EXPECT_EQ(b.log[1].address, kHealthy);
    EXPECT_EQ(b.log[1].end, sim::I2cTransaction::End::Stop);
    b.expectHealthyChipServed();
  }
  FaultBoard b;
  b.board.setI2cFault(kFaulty, {Kind::Absent, 0});
  Buffer_Tx1[0] = 0x07;
  EXPECT_EQ(I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 1, Interrupt, kFaulty << 1), Error);
  ASSERT_EQ(b.log.size(), 1u);
  EXPECT_FALSE(b.log[0].addressAcknowledged);
  EXPECT_EQ(b.log[0].end, sim::I2cTransaction::End::Stop);
  EXPECT_EQ(I2C1->SR2 & (I2C_SR2_MSL | I2C_SR2_BUSY), 0u);
}

TEST(I2cFaults, ClearingFaultsMakesTheFaultyChipReachableAgain) {
  FaultBoard b;
  b.board.setI2cFault(kFaulty, {Kind::Absent, 0});
  std::uint8_t byte = 0;
  EXPECT_EQ(I2C_Master_BufferRead(I2C1, &byte, 1, Polling, kFaulty << 1), Error);
  b.board.clearI2cFaults();
  EXPECT_EQ(I2C_Master_BufferRead(I2C1, &byte, 1, Polling, kFaulty << 1), Success);
  EXPECT_EQ(byte, 0xA0);
}

}  // namespace
