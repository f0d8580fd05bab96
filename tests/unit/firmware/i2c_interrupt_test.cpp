// Interrupt-driven transfers: the event handler's state machine, one event per
// entry, and the error handler's order.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "i2c_firmware_fixture.h"
#include "stm32l1xx_it.h"

namespace {

constexpr std::uint8_t kSlave = I2cFirmwareBoard::kChip << 1;
constexpr int kEvent1 = sim::InterruptController::irq(I2C1_EV_IRQn);
constexpr int kError1 = sim::InterruptController::irq(I2C1_ER_IRQn);

struct HandlerBoard : I2cFirmwareBoard {
  HandlerBoard() {
    board.interrupts().onEntry([this](int exception) {
      if (exception == kEvent1) sr1AtEvent.push_back(board.i2c1().reg(0x14));
      if (exception == kError1) sr1AtError.push_back(board.i2c1().reg(0x14));
    });
  }
  std::vector<std::uint16_t> sr1AtEvent, sr1AtError;
};

TEST(I2cInterruptWrite, OneByteTakesThreeEventEntriesAndEndsWithBothEnablesClear) {
  HandlerBoard b;
  Buffer_Tx1[0] = 0x42;
  ASSERT_EQ(I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 1, Interrupt, kSlave), Success);
  ASSERT_EQ(b.sr1AtEvent.size(), 3u);
  EXPECT_EQ(b.sr1AtEvent[0] & I2C_SR1_SB, I2C_SR1_SB);
  EXPECT_EQ(b.sr1AtEvent[1] & I2C_SR1_ADDR, I2C_SR1_ADDR);
  EXPECT_EQ(b.sr1AtEvent[2] & (I2C_SR1_TXE | I2C_SR1_BTF), I2C_SR1_TXE | I2C_SR1_BTF);
  EXPECT_EQ(I2C1->CR2 & (I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN | I2C_CR2_ITERREN), I2C_CR2_ITERREN);
  EXPECT_EQ(NumbOfBytes1, 0u);
  EXPECT_EQ(b.chip.pointer(), 0x42);
  ASSERT_EQ(b.log.size(), 1u);
  EXPECT_EQ(b.log[0].end, sim::I2cTransaction::End::Stop);
  EXPECT_TRUE(b.sr1AtError.empty());
}

TEST(I2cInterruptWrite, NBytesTakeNPlusTwoEntriesAndReachTheChipInOrder) {
  for (std::uint32_t n : {2u, 3u, 7u}) {
    SCOPED_TRACE(n);
    HandlerBoard b;
    Buffer_Tx1[0] = 0x30;
    for (std::uint32_t i = 1; i < n; ++i) Buffer_Tx1[i] = static_cast<std::uint8_t>(0x10 * i);
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, Buffer_Tx1, n, Interrupt, kSlave), Success);
    EXPECT_EQ(b.sr1AtEvent.size(), n + 2);
    for (std::uint32_t i = 1; i < n; ++i) EXPECT_EQ(b.chip.reg(static_cast<std::uint8_t>(0x30 + i - 1)), 0x10 * i);
    EXPECT_EQ(I2C1->CR2 & (I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN), 0u);
    EXPECT_EQ(Tx_Idx1, n);
  }
}

TEST(I2cInterruptWrite, SendsTheStagingBufferWhateverBufferIsPassedAndDmaBehavesTheSame) {
  for (I2C_ProgrammingModel mode : {Interrupt, DMA}) {
    SCOPED_TRACE(static_cast<int>(mode));
    HandlerBoard b;
    std::array<std::uint8_t, 2> elsewhere{0x99, 0x99};
    Buffer_Tx1[0] = 0x05;
    Buffer_Tx1[1] = 0x77;
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, elsewhere.data(), 2, mode, kSlave), Success);
    EXPECT_EQ(b.chip.reg(0x05), 0x77);
    EXPECT_EQ(b.sr1AtEvent.size(), 4u);
  }
}

TEST(I2cInterruptWrite, EntriesForI2C1NeverTouchTheI2C2Globals) {
  HandlerBoard b;
  NumbOfBytes2 = 0x1234;
  Tx_Idx2 = 7;
  Rx_Idx2 = 9;
  Buffer_Tx2[0] = 0xEE;
  Buffer_Rx2[0] = 0xDD;
  Buffer_Tx1[0] = 0x01;
  Buffer_Tx1[1] = 0x02;
  std::uint8_t data[2] = {};
  ASSERT_EQ(I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 2, Interrupt, kSlave), Success);
  ASSERT_EQ(I2C_Master_BufferRead(I2C1, data, 2, Interrupt, kSlave), Success);
  EXPECT_EQ(NumbOfBytes2, 0x1234u);
  EXPECT_EQ(Tx_Idx2, 7);
  EXPECT_EQ(Rx_Idx2, 9);
  EXPECT_EQ(Buffer_Tx2[0], 0xEE);
  EXPECT_EQ(Buffer_Rx2[0], 0xDD);
}

TEST(I2cInterruptRead, BytesArriveInTheReceiveBufferOneEntryEach) {
  for (std::uint32_t n : {1u, 2u, 5u}) {
    SCOPED_TRACE(n);
    HandlerBoard b;
    b.chip.setReg(0, 0);  // the pointer is 0 after reset: read from register 0 on
    std::array<std::uint8_t, 8> untouched{};
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, untouched.data(), n, Interrupt, kSlave), Success);
    EXPECT_EQ(untouched, (std::array<std::uint8_t, 8>{}));
    for (std::uint32_t i = 1; i < n; ++i) EXPECT_EQ(Buffer_Rx1[i], 0xA0 + i) << i;
    EXPECT_EQ(b.sr1AtEvent.size(), n + 2);  // SB, ADDR, one RXNE entry per byte
    ASSERT_EQ(b.log.size(), 1u);
    EXPECT_FALSE(b.log[0].bytes.back().acknowledged);
    EXPECT_EQ(I2C1->CR1 & I2C_CR1_ACK, I2C_CR1_ACK);
    // A read leaves the event interrupts enabled.
    EXPECT_EQ(I2C1->CR2 & (I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN), I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN);
    I2C1->CR2 = static_cast<std::uint16_t>(I2C1->CR2 & ~(I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN));
  }
}

TEST(I2cErrorHandler, AnAcknowledgeFailureAndABusErrorTogetherTakeTwoEntriesAcknowledgeFirst) {
  HandlerBoard b;
  b.board.setI2cFault(I2cFirmwareBoard::kChip, sim::I2cFault{sim::I2cFault::Kind::BusError, 0});
  // Masked, the error interrupt waits until both flags have risen.
  __disable_irq();
  std::uint8_t byte = 0;
  EXPECT_EQ(I2C_Master_BufferRead(I2C1, &byte, 1, Polling, kSlave), Error);
  EXPECT_EQ(I2C1->SR1 & (I2C_SR1_AF | I2C_SR1_BERR), I2C_SR1_AF | I2C_SR1_BERR);
  __enable_irq();
  ASSERT_EQ(b.sr1AtError.size(), 2u);
  EXPECT_EQ(b.sr1AtError[0] & (I2C_SR1_AF | I2C_SR1_BERR), I2C_SR1_AF | I2C_SR1_BERR);
  EXPECT_EQ(b.sr1AtError[1] & (I2C_SR1_AF | I2C_SR1_BERR), I2C_SR1_BERR);
  EXPECT_EQ(I2C1->SR1 & (I2C_SR1_AF | I2C_SR1_BERR), 0u);
}

}  // namespace
