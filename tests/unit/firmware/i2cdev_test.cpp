// Register access helpers of the motion sensor over a register-file chip at
// the motion sensor's address (0x68), through the firmware's own transfers.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "I2CRoutines.h"
#include "I2Cdev.h"
#include "firmware_board.h"
#include "sim/devices/register_file_target.h"
#include "test_sensor_9axis.h"

namespace {

constexpr std::uint8_t kMotionSensor = 0x68;
constexpr std::uint8_t kReg = 0x1B;

// A chip that takes register addresses but refuses to be read.
class UnreadableChip : public sim::RegisterFileTarget {
 public:
  using RegisterFileTarget::RegisterFileTarget;
  bool start(bool read) override { return !read && RegisterFileTarget::start(read); }
};

struct Helpers : FirmwareBoard {
  explicit Helpers(bool readable = true) : readable_(readable) {
    I2C_LowLevel_Init();
    board.removeSensorChip(kMotionSensor);
    board.i2cBus1().attach(readable_ ? static_cast<sim::I2cTarget&>(chip) : unreadable);
    sent = board.i2cBus1().onTransaction([this](const sim::I2cTransaction& t) {
      if (!t.read) writes.push_back(t);
    });
  }
  ~Helpers() { board.i2cBus1().detach(readable_ ? static_cast<sim::I2cTarget&>(chip) : unreadable); }

  // The last value written to kReg by a two-byte write.
  std::uint8_t written() const { return chip.reg(kReg); }
  std::string console() {
    board.clock().advanceTo(board.clock().now() + sim::milliseconds(5));
    return board.console().received();
  }
  bool fsmcClockOn() { return (RCC->AHBENR & RCC_AHBPeriph_FSMC) != 0; }

  bool readable_;
  sim::RegisterFileTarget chip{kMotionSensor, "motion sensor"};
  UnreadableChip unreadable{kMotionSensor, "unreadable"};
  std::vector<sim::I2cTransaction> writes;
  sim::Subscription sent;
};

TEST(I2cdevBitFields, ReadBitsReturnsTheFieldShiftedDown) {
  Helpers h;
  std::uint8_t field = 0;
  h.chip.setReg(kReg, 0x68);
  EXPECT_EQ(I2Cdev::readBits(kMotionSensor, kReg, 6, 6, &field, 1000), 1);
  EXPECT_EQ(field, 0x34);
  h.chip.setReg(kReg, 0xFF);
  EXPECT_EQ(I2Cdev::readBits(kMotionSensor, kReg, 6, 6, &field, 1000), 1);
  EXPECT_EQ(field, 0x3F);
}

TEST(I2cdevBitFields, WriteBitsReplacesOnlyTheFieldAndDropsWiderData) {
  struct Case {
    std::uint8_t before, bitStart, length, data, after;
  };
  const Case cases[] = {
      {0x00, 4, 2, 3, 0x18},
      {0x00, 4, 2, 7, 0x18},
      {0xFF, 4, 2, 0, 0xE7},
      {0x40, 2, 3, 1, 0x41},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "before " << int(c.before) << " data " << int(c.data));
    Helpers h;
    h.chip.setReg(kReg, c.before);
    EXPECT_TRUE(I2Cdev::writeBits(kMotionSensor, kReg, c.bitStart, c.length, c.data));
    EXPECT_EQ(h.written(), c.after);
  }
}

TEST(I2cdevBitFields, WriteBitSetsForAnyNonZeroDataAndClearsForZero) {
  Helpers h;
  h.chip.setReg(kReg, 0x40);
  EXPECT_TRUE(I2Cdev::writeBit(kMotionSensor, kReg, 6, 0));
  EXPECT_EQ(h.written(), 0x00);
  EXPECT_TRUE(I2Cdev::writeBit(kMotionSensor, kReg, 6, 2));
  EXPECT_EQ(h.written(), 0x40);
}

TEST(I2cdevTransfers, ABitWriteIsAddressWriteReadAndTwoByteWrite) {
  Helpers h;
  EXPECT_TRUE(I2Cdev::writeBit(kMotionSensor, kReg, 0, 1));
  ASSERT_EQ(h.writes.size(), 2u);
  ASSERT_EQ(h.writes[0].bytes.size(), 1u);
  EXPECT_EQ(h.writes[0].bytes[0].value, kReg);
  ASSERT_EQ(h.writes[1].bytes.size(), 2u);
  EXPECT_EQ(h.writes[1].bytes[0].value, kReg);
  EXPECT_EQ(h.writes[1].bytes[1].value, 0x01);
}

TEST(I2cdevTransfers, ALongReadReturnsItsLengthAndTheFsmcClockIsOnAfterward) {
  Helpers h;
  for (int i = 0; i < 14; ++i) h.chip.setReg(static_cast<std::uint8_t>(0x3B + i), static_cast<std::uint8_t>(i + 1));
  std::array<std::uint8_t, 14> data{};
  EXPECT_EQ(I2Cdev::readBytes(kMotionSensor, 0x3B, 14, data.data(), 1000), 14);
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(data[13], 14);
  EXPECT_TRUE(h.fsmcClockOn());
}

TEST(I2cdevFailures, AFailedDataReadIsReportedOnceAndChangesNothing) {
  Helpers h(false);
  std::array<std::uint8_t, 2> data{0x11, 0x22};
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, ENABLE);
  EXPECT_EQ(SENSOR_9AXIS_Read_Bytes(kMotionSensor, kReg, 2, data.data()), 0);
  EXPECT_EQ(data, (std::array<std::uint8_t, 2>{0x11, 0x22}));
  EXPECT_FALSE(h.fsmcClockOn());
  EXPECT_EQ(h.console(), "[ERROR] SENSOR_9AXIS_Read_Bytes() 60\r\n");
  std::uint8_t field = 0x77;
  EXPECT_EQ(I2Cdev::readBits(kMotionSensor, kReg, 3, 2, &field, 1000), 0);
  EXPECT_EQ(field, 0x77);
  EXPECT_FALSE(I2Cdev::writeBits(kMotionSensor, kReg, 3, 2, 1));
  EXPECT_FALSE(I2Cdev::writeBit(kMotionSensor, kReg, 3, 1));
  EXPECT_EQ(h.writes.size(), 4u);  // only the register addresses of the four reads
}

TEST(I2cdevFailures, AnAbsentChipFailsTheInterruptDrivenWritesWithTheirOwnNumbers) {
  Helpers h;
  h.board.setI2cFault(kMotionSensor, {sim::I2cFault::Kind::Absent, 0});
  std::uint8_t byte = 0x5A;
  EXPECT_EQ(SENSOR_9AXIS_Write_Bytes(kMotionSensor, kReg, 1, &byte), -1);
  EXPECT_FALSE(I2Cdev::writeByte(kMotionSensor, kReg, 1));
  EXPECT_EQ(I2Cdev::readByte(kMotionSensor, kReg, &byte, 1000), 0);
  EXPECT_EQ(h.console(),
            "[ERROR] SENSOR_9AXIS_Write_Bytes() 83\r\n"
            "[ERROR] SENSOR_9AXIS_Write_Bytes() 83\r\n"
            "[ERROR] SENSOR_9AXIS_Read_Bytes() 53\r\n");
  h.board.clearI2cFaults();
  h.chip.setReg(kReg, 0x33);
  EXPECT_EQ(I2Cdev::readByte(kMotionSensor, kReg, &byte, 1000), 1);
  EXPECT_EQ(byte, 0x33);
}

}  // namespace
