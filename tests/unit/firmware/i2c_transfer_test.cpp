// Master transfers of the firmware against the virtual board's I2C peripheral
// and a register-file chip at 0x40.
#include <gtest/gtest.h>

#include <array>

#include "i2c_firmware_fixture.h"

namespace {

using sim::I2cTransaction;
constexpr std::uint8_t kSlave = I2cFirmwareBoard::kChip << 1;

TEST(I2cBusBringUp, BothBusesComeUpAt400kHzWithTheirOwnAddressesAndNoInterrupts) {
  I2cFirmwareBoard b;
  for (I2C_TypeDef* bus : {I2C1, I2C2}) {
    EXPECT_EQ(bus->CR2, 32u);  // FREQ 32, no interrupt enable yet
    EXPECT_EQ(bus->CCR, 0x801Au);
    EXPECT_EQ(bus->TRISE, 10u);
    EXPECT_EQ(bus->CR1, I2C_CR1_PE | I2C_CR1_ACK);
  }
  EXPECT_EQ(I2C1->OAR1, 0x4028u);
  EXPECT_EQ(I2C2->OAR1, 0x4030u);
  EXPECT_EQ(b.board.gpio('B').alternateFunction(6), 4u);
  EXPECT_TRUE(b.board.gpio('B').openDrain(11));
}

TEST(I2cBusBringUp, EachBusGetsItsOwnTwoPinsAsOpenDrainAlternateFunctionPinsWithoutPull) {
  I2cFirmwareBoard b;
  sim::GpioPort& portB = b.board.gpio('B');
  for (unsigned pin : {6u, 7u, 10u, 11u}) {
    SCOPED_TRACE(pin);
    EXPECT_EQ(portB.mode(pin), sim::GpioPort::Mode::Alternate);
    EXPECT_EQ(portB.alternateFunction(pin), 4u);
    EXPECT_TRUE(portB.openDrain(pin));
    EXPECT_EQ(portB.pull(pin), sim::GpioPort::Pull::None);
  }
  // The pins between the two pairs are left alone.
  for (unsigned pin : {8u, 9u}) EXPECT_NE(portB.mode(pin), sim::GpioPort::Mode::Alternate) << pin;
}

TEST(I2cBusBringUp, TheClockOnTheWireHasThePeriodCcrAndTriseGive) {
  I2cFirmwareBoard b;
  std::vector<sim::Time> rises;
  auto watch = b.board.i2cBus1().scl().onChange([&](sim::Level level) {
    if (level == sim::Level::High) rises.push_back(b.now());
  });
  std::uint8_t reg = 0x00;
  ASSERT_EQ(I2C_Master_BufferWrite(I2C1, &reg, 1, Polling, kSlave), Success);
  // Address byte and one data byte, 9 clocks each, then the STOP's rise.
  ASSERT_EQ(rises.size(), 19u);
  // Fast mode, duty 2: low 2 x CCR, high 1 x CCR cycles of the 32 MHz bus
  // clock, and one more where SCL's rise outlasts TRISE: about 405 kHz.
  const sim::Time period = sim::cyclesToTime(3 * 26 + 1, 32'000'000);
  for (std::size_t i = 1; i < 9; ++i) EXPECT_EQ(rises[i] - rises[i - 1], period) << i;
  // A byte with its acknowledge takes about 22 us.
  EXPECT_NEAR(sim::toMicroseconds(9 * period), 22.2, 0.1);
}

TEST(I2cPollingRead, ReadsOfEveryLengthDeliverTheBytesInOrderAndLeaveAckSet) {
  for (std::uint32_t length : {1u, 2u, 3u, 4u, 14u}) {
    SCOPED_TRACE(length);
    I2cFirmwareBoard b;
    std::uint8_t reg = 0x10;
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, &reg, 1, Polling, kSlave), Success);
    std::array<std::uint8_t, 16> data{};
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, data.data(), length, Polling, kSlave), Success);
    for (std::uint32_t i = 0; i < length; ++i) EXPECT_EQ(data[i], 0xB0 + i) << i;
    EXPECT_EQ(data[length], 0);
    EXPECT_EQ(I2C1->CR1 & (I2C_CR1_ACK | I2C_CR1_POS | I2C_CR1_STOP | I2C_CR1_START), I2C_CR1_ACK);
    EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, 0u);
    ASSERT_EQ(b.log.size(), 2u);
    const I2cTransaction& read = b.log[1];
    EXPECT_TRUE(read.read);
    ASSERT_EQ(read.bytes.size(), length);
    // The master acknowledges every byte but the last.
    for (std::uint32_t i = 0; i < length; ++i) EXPECT_EQ(read.bytes[i].acknowledged, i + 1 < length) << i;
    EXPECT_EQ(read.end, I2cTransaction::End::Stop);
  }
}

TEST(I2cPollingRead, InterruptsAreMaskedExactlyAcrossTheTimingCriticalSteps) {
  struct Case {
    std::uint32_t length;
    std::vector<std::string> stretches;
  };
  // ACK 0x0400, STOP 0x0200, POS 0x0800, PE 0x0001.
  const Case cases[] = {
      {1, {"r SR2, r CR1, w CR1 0201"}},
      {2, {"r SR2, r CR1, w CR1 0801", "r CR1, w CR1 0A01, r DR"}},
      {3, {"r DR, r CR1, w CR1 0201, r DR"}},
      {4, {"r DR, r CR1, w CR1 0201, r DR"}},
      {14, {"r DR, r CR1, w CR1 0201, r DR"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    I2cFirmwareBoard b;
    b.recordAccesses();
    std::array<std::uint8_t, 16> data{};
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, data.data(), c.length, Polling, kSlave), Success);
    EXPECT_EQ(b.maskedStretches(), c.stretches);
    EXPECT_FALSE(b.board.interrupts().primask());
  }
}

TEST(I2cPollingRead, AOneByteReadClearsAckBeforeAddrAndAsksForTheStopBeforeTheByteArrives) {
  I2cFirmwareBoard b;
  bool ackClearedBeforeAddr = false, stopBeforeByte = false;
  bool addrCleared = false;
  auto watch = b.board.i2c1().onAccess([&](std::uint32_t offset, bool write, std::uint16_t value) {
    if (offset == 0x18 && !write && !addrCleared) {  // the SR2 read that clears ADDR
      addrCleared = true;
      ackClearedBeforeAddr = (b.board.i2c1().reg(0x00) & I2C_CR1_ACK) == 0;
    }
    if (offset == 0x00 && write && (value & I2C_CR1_STOP) != 0 && !stopBeforeByte) {
      stopBeforeByte = (b.board.i2c1().reg(0x14) & I2C_SR1_RXNE) == 0;
    }
  });
  std::uint8_t byte = 0;
  ASSERT_EQ(I2C_Master_BufferRead(I2C1, &byte, 1, Polling, kSlave), Success);
  EXPECT_EQ(byte, 0xA0);
  EXPECT_TRUE(ackClearedBeforeAddr);
  EXPECT_TRUE(stopBeforeByte);
  EXPECT_EQ(I2C1->CR1 & I2C_CR1_ACK, I2C_CR1_ACK);
}

TEST(I2cPollingRead, ATwoByteReadSetsPosBeforeTheStartAndClearsItAtTheEnd) {
  I2cFirmwareBoard b;
  b.recordAccesses();
  std::array<std::uint8_t, 2> data{};
  ASSERT_EQ(I2C_Master_BufferRead(I2C1, data.data(), 2, Polling, kSlave), Success);
  EXPECT_EQ(data, (std::array<std::uint8_t, 2>{0xA0, 0xA1}));
  std::size_t pos = 0, start = 0;
  for (std::size_t i = 0; i < b.accesses.size(); ++i) {
    if (pos == 0 && b.accesses[i].what == "w CR1 0C01") pos = i;    // ACK, POS, PE
    if (start == 0 && b.accesses[i].what == "w CR1 0D01") start = i;  // and START
  }
  EXPECT_NE(pos, 0u);
  EXPECT_LT(pos, start);
  EXPECT_EQ(I2C1->CR1 & I2C_CR1_POS, 0u);
}

TEST(I2cPollingWrite, WritesLandInTheChipsRegistersFromTheAddressedOne) {
  I2cFirmwareBoard b;
  std::array<std::uint8_t, 4> bytes{0x20, 0x11, 0x22, 0x33};
  ASSERT_EQ(I2C_Master_BufferWrite(I2C1, bytes.data(), 4, Polling, kSlave), Success);
  EXPECT_EQ(b.chip.reg(0x20), 0x11);
  EXPECT_EQ(b.chip.reg(0x22), 0x33);
  EXPECT_EQ(I2C1->CR1 & (I2C_CR1_STOP | I2C_CR1_START), 0u);
  ASSERT_EQ(b.log.size(), 1u);
  EXPECT_EQ(b.log[0].bytes.size(), 4u);
}

TEST(I2cAddressing, TheReadForcesBitZeroToOneAndTheWriteToZero) {
  I2cFirmwareBoard b;
  std::uint8_t byte = 0;
  ASSERT_EQ(I2C_Master_BufferRead(I2C1, &byte, 1, Polling, 0x80), Success);
  EXPECT_EQ(Address, 0x81);
  ASSERT_EQ(I2C_Master_BufferWrite(I2C1, &byte, 1, Polling, 0x80), Success);
  EXPECT_EQ(Address, 0x80);
  ASSERT_EQ(I2C_Master_BufferWrite(I2C1, &byte, 1, Polling, 0x81), Success);
  EXPECT_EQ(Address, 0x80);
  Buffer_Tx1[0] = 0x00;
  ASSERT_EQ(I2C_Master_BufferWrite(I2C1, nullptr, 1, Interrupt, 0x81), Success);
  EXPECT_EQ(Address, 0x80);
  ASSERT_EQ(b.log.size(), 4u);
  for (const I2cTransaction& t : b.log) EXPECT_EQ(t.address, 0x40);
  EXPECT_TRUE(b.log[0].read);
  EXPECT_FALSE(b.log[2].read);
  EXPECT_FALSE(b.log[3].read);
}

TEST(I2cClockStretching, AChipHoldingTheClockThroughA50msConversionStillDeliversItsBytes) {
  I2cFirmwareBoard b;
  b.chip.setReadStretch(sim::milliseconds(50));
  const sim::Time started = b.now();
  for (std::uint32_t length : {1u, 2u, 3u}) {
    SCOPED_TRACE(length);
    std::array<std::uint8_t, 3> data{};
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, data.data(), length, Polling, kSlave), Success);
    EXPECT_EQ(data[0], 0xA0 + (length == 1 ? 0 : length == 2 ? 1 : 3));
  }
  EXPECT_GE(b.elapsedSince(started), sim::milliseconds(150));
}

TEST(I2cTransfers, ByteCountsOutsideTheBuffersAreRefusedWithoutBusTraffic) {
  I2cFirmwareBoard b;
  std::uint8_t byte = 0;
  EXPECT_EQ(I2C_Master_BufferRead(I2C1, &byte, 0, Polling, kSlave), Error);
  EXPECT_EQ(I2C_Master_BufferWrite(I2C1, &byte, 0, Interrupt, kSlave), Error);
  EXPECT_EQ(I2C_Master_BufferWrite(I2C1, &byte, 256, Interrupt, kSlave), Error);
  EXPECT_TRUE(b.log.empty());
}

}  // namespace
