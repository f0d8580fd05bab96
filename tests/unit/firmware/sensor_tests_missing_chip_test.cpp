// Each sensor test with its chip missing from the bus: the failed transfers are
// reported with their site numbers, the lines are printed from zeroed buffers,
// the menu goes on, and once the chip answers again the test reads it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "I2CRoutines.h"
#include "firmware_board.h"
#include "test_sensor_9axis.h"
#include "test_sensor_AL_BH17.h"
#include "test_sensor_HTU21.h"
#include "test_sensor_LPS25H.h"

namespace {

struct SensorBoard : FirmwareBoard {
  SensorBoard() {
    I2C1_Transfer_Failed = 0;
    I2C_LowLevel_Init();
  }

  // Runs a test with `keys` waiting in the console queue; returns what it printed.
  std::string run(void (*test)(), const char* keys) {
    for (const char* k = keys; *k != '\0'; ++k) UartQueue_Serial_EnQueue(static_cast<std::uint8_t>(*k));
    std::size_t before = board.console().received().size();
    test();
    board.clock().advanceTo(now() + sim::milliseconds(2));  // the last bytes leave the USART
    return board.console().received().substr(before);
  }

  void absent(std::uint8_t address) { board.setI2cFault(address, sim::I2cFault{sim::I2cFault::Kind::Absent, 0}); }
};

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One sensor test run with its chip absent: each error report (and other
// counted text) with how often it comes, and texts the test prints from its
// zeroed buffers. Every "[ERROR]" line it prints is among the counted ones.
struct MissingChip {
  const char* name;
  std::uint8_t address;
  void (*test)();
  const char* keys;  // ends with x: the test returns to the menu
  std::vector<std::pair<std::string, std::size_t>> counted;
  std::vector<std::string> shown;
};

void PrintTo(const MissingChip& chip, std::ostream* os) { *os << chip.name; }

class MissingSensorChip : public ::testing::TestWithParam<MissingChip> {};

TEST_P(MissingSensorChip, TheTestReportsEachFailedTransferWithItsSiteAndGoesBackToTheMenu) {
  const MissingChip& chip = GetParam();
  SensorBoard b;
  b.absent(chip.address);
  std::string out = b.run(chip.test, chip.keys);
  std::size_t errors = 0;
  for (const auto& [text, times] : chip.counted) {
    EXPECT_EQ(count(out, text), times) << text << "\n" << out;
    if (text.rfind("[ERROR]", 0) == 0) errors += times;
  }
  EXPECT_EQ(count(out, "[ERROR]"), errors) << "reports beyond the failed transfers\n" << out;
  for (const std::string& text : chip.shown) EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
  EXPECT_NE(out.find("x is selected\r\n\r\n"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    EachSensor, MissingSensorChip,
    ::testing::Values(
        MissingChip{
            "TemperatureAndHumidity",
            0x40,
            Test_Sensor_HTU21,
            "12x",
            {{"[ERROR] SENSOR_HTU21_Write_Command() 104\r\n", 1}, {"[ERROR] SENSOR_HTU21_Read_Bytes() 52\r\n", 2}},
            {"data[0]: 0x00, data[1]: 0x00, data[2]: 0x00\r\ndata16Val: 0x0000, Temperature: -46.849998\r\n"}},
        // The command byte is still in the buffer; the other byte started at zero.
        MissingChip{
            "AmbientLight",
            0x23,
            Test_Sensor_AL_BH17,
            "1x",
            {{"[ERROR] SENSOR_AL_BH17_Write_Bytes() 65\r\n", 1}, {"[ERROR] SENSOR_AL_BH17_Read_Bytes() 43\r\n", 1}},
            {"Data Val: 0x1000\r\n"}},
        // Zero read-backs, identity and temperature; the menu key prompt at
        // entry and after each of the four keys.
        MissingChip{"Pressure",
                    0x5D,
                    Test_Sensor_LPS25H,
                    "02X x",
                    {{"[ERROR] SENSOR_LPS25H_Write_Bytes() 78\r\n", 2},
                     {"[ERROR] SENSOR_LPS25H_Read_Bytes() 48\r\n", 4},
                     {"Press menu key", 5}},
                    {"[ERROR] SENSOR_LPS25H_Read_Bytes() 48\r\nLPS25H_CTRL_REG1_ADDR init read : 0x00\r\n",
                     "LPS25H_RES_CONF_ADDR init read : 0x00\r\n", "Device id : 0x00\r\n",
                     "data16Val: 0x   0, Temperature: 42.500000"}},
        // initialize: four read-modify-writes whose reads fail and write
        // nothing; the first motion read; the bypass write; the unreachable
        // magnetometer, whose id shows as zero.
        MissingChip{"Motion",
                    0x68,
                    Test_Sensor_9Axis,
                    "2x",
                    {{"[ERROR] SENSOR_9AXIS_Write_Bytes() 83\r\n", 2}, {"[ERROR] SENSOR_9AXIS_Read_Bytes() 53\r\n", 7}},
                    {"MPU9150 first read motion data done.\r\n",
                     "2 is selected\r\n\r\n[ERROR] SENSOR_9AXIS_Read_Bytes() 53\r\nDevice ID: 0x00\r\n"}}),
    [](const ::testing::TestParamInfo<MissingChip>& param) { return std::string(param.param.name); });

TEST(MissingSensorChipAnsweringAgain, TheTemperatureAndHumidityTestReadsItOnceTheChipIsBack) {
  SensorBoard b;
  b.absent(0x40);
  std::string out = b.run(Test_Sensor_HTU21, "12x");
  ASSERT_NE(out.find("[ERROR]"), std::string::npos) << out;

  b.board.clearI2cFaults();
  b.board.values().set("htu21.temperature.raw", "0x6664");
  out = b.run(Test_Sensor_HTU21, "1x");
  EXPECT_EQ(out.find("[ERROR]"), std::string::npos) << out;
  EXPECT_NE(out.find("data16Val: 0x6664, Temperature: 23.431564\r\n"), std::string::npos) << out;
}

}  // namespace
