// Master transfers of the firmware against the virtual board's I2C peripheral
// and a register-file chip.
#include <gtest/gtest.h>

#include <array>

#include "i2c_firmware_fixture.h"

namespace {

using Transfers = I2cFirmwareBoard;

constexpr std::uint8_t kSlave = I2cFirmwareBoard::kChip << 1;

TEST(I2cTransfers, PollingReadsOfEveryLengthDeliverTheBytesInOrder) {
  for (std::uint32_t length : {1u, 2u, 3u, 4u, 14u}) {
    SCOPED_TRACE(length);
    Transfers t;
    std::uint8_t reg = 0x10;
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, &reg, 1, Polling, kSlave), Success);
    std::array<std::uint8_t, 16> data{};
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, data.data(), length, Polling, kSlave), Success);
    for (std::uint32_t i = 0; i < length; ++i) EXPECT_EQ(data[i], 0xB0 + i) << i;
    EXPECT_EQ(data[length], 0);
    EXPECT_EQ(I2C1->CR1 & (I2C_CR1_ACK | I2C_CR1_POS | I2C_CR1_STOP | I2C_CR1_START), I2C_CR1_ACK);
    ASSERT_EQ(t.log.size(), 2u);
    const sim::I2cTransaction& read = t.log[1];
    EXPECT_TRUE(read.read);
    ASSERT_EQ(read.bytes.size(), length);
    // Every byte acknowledged by the master but the last.
    for (std::uint32_t i = 0; i < length; ++i) EXPECT_EQ(read.bytes[i].acknowledged, i + 1 < length) << i;
    EXPECT_EQ(read.end, sim::I2cTransaction::End::Stop);
  }
}

}  // namespace
