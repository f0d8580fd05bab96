// Physical values of the sensor chips: parsing with units, ranges and two's
// complement counts, the script command and the board's registry reaching the
// chip models, and the seeded noise.
#include "sim/devices/sensor_values.h"

#include <gtest/gtest.h>

#include <string>

#include "i2c_target_master.h"
#include "sim/board.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"
#include "sim/core/stop.h"

namespace {

using sim::parseSensorValue;
using sim::SensorValueError;

TEST(SensorValues, ValuesParseInTheirUnitsAndCountsTakeHexAsTwosComplement) {
  EXPECT_EQ(parseSensorValue("htu21.temperature", "23.4").values, std::vector<double>{23.4});
  EXPECT_EQ(parseSensorValue("mpu9150.accel", "0 0 1").values, (std::vector<double>{0, 0, 1}));
  EXPECT_EQ(parseSensorValue("pir.motion", "on").values, std::vector<double>{1});
  EXPECT_EQ(parseSensorValue("htu21.temperature.raw", "0x6664").values, std::vector<double>{0x6664});
  EXPECT_EQ(parseSensorValue("mpu9150.accel.raw", "0x0102 0xFFFE -3").values, (std::vector<double>{258, -2, -3}));
  EXPECT_EQ(parseSensorValue("lps25h.pressure.raw", "0x800000").values, std::vector<double>{-8388608});
  EXPECT_EQ(sim::parseSensorAssignment("bh17.lux=333.3").values, std::vector<double>{333.3});
}

TEST(SensorValues, UnknownNamesWrongCountsAndValuesOutOfRangeAreRefusedWithTheReason) {
  auto message = [](const char* name, const char* value) {
    try {
      parseSensorValue(name, value);
    } catch (const SensorValueError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(message("htu21.pressure", "1").find("no sensor value named 'htu21.pressure'"), std::string::npos);
  EXPECT_NE(message("htu21.temperature", "126").find("out of range (range -40..125 degC)"), std::string::npos);
  EXPECT_NE(message("mpu9150.gyro", "1 2").find("expected 3 values"), std::string::npos);
  EXPECT_NE(message("htu21.humidity", "45%").find("not a number"), std::string::npos);
  EXPECT_NE(message("htu21.humidity.raw", "0x10000").find("out of range"), std::string::npos);
  EXPECT_NE(message("bh17.lux.raw", "12.5").find("not a whole count"), std::string::npos);
  EXPECT_NE(message("pir.motion", "yes").find("on or off"), std::string::npos);
  EXPECT_NE(message("lps25h.pressure", "nan").find("not a number"), std::string::npos);
  EXPECT_THROW(sim::parseSensorAssignment("bh17.lux"), SensorValueError);
}

TEST(SensorValues, HelpListsEveryNameWithItsUnitRangeAndDefault) {
  std::string help = sim::sensorValuesHelp();
  for (const auto& valueInfo : sim::sensorValueInfos()) {
    EXPECT_NE(help.find(valueInfo.name), std::string::npos) << valueInfo.name;
  }
  EXPECT_NE(help.find("lps25h.pressure          hPa      260..1260              1013.25"), std::string::npos);
  EXPECT_NE(help.find("mpu9150.accel            g        -16..16                0 0 1"), std::string::npos);
}

TEST(SensorValues, ScriptSetCommandsAreCheckedWhenTheScriptIsReadAndReachTheBoard) {
  sim::Board board;
  sim::ScriptRunner runner(
      board, sim::parseScript("set htu21.humidity 45\nset mpu9150.gyro 1 -2 3.5 # turning\nset pin PA0 high\n", "t.tlscript"));
  EXPECT_THROW(runner.start(), sim::Stop);  // the script's end
  EXPECT_EQ(board.values().get("htu21.humidity"), std::vector<double>{45});
  EXPECT_EQ(board.values().get("mpu9150.gyro"), (std::vector<double>{1, -2, 3.5}));
  // The pin form is still a pin.
  EXPECT_EQ(board.pinLevel({'A', 0}), sim::Level::High);

  try {
    sim::parseScript("run 1ms\nset lps25h.pressure 1300\n", "t.tlscript");
    FAIL() << "accepted a pressure out of range";
  } catch (const sim::ScriptError& e) {
    EXPECT_EQ(e.line(), 2);
    EXPECT_NE(std::string(e.what()).find("t.tlscript:2: lps25h.pressure: 1300 is out of range"), std::string::npos);
  }
  EXPECT_THROW(sim::parseScript("set bh17.brightness 3\n", "t.tlscript"), sim::ScriptError);
}

TEST(SensorValues, TheBoardsRegistryReachesTheChipsAndThePirLine) {
  sim::Board board;
  auto& clock = board.clock();
  auto& htu = board.sensors().htu21();
  board.values().set("htu21.temperature.raw", "0x6664");
  ASSERT_TRUE(testing_i2c::writeBytes(htu, clock, {0xE3}));
  auto reply = testing_i2c::readBytes(htu, clock, 2).bytes;
  EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x66, 0x64}));

  EXPECT_EQ(board.pinLevel({'H', 2}), sim::Level::Low);
  board.values().set("pir.motion", "on");
  EXPECT_EQ(board.pinLevel({'H', 2}), sim::Level::High);
  EXPECT_EQ(board.values().get("pir.motion"), std::vector<double>{1});
}

TEST(SensorValues, NoiseIsOffUnlessSeededAndTheSameSeedGivesTheSameReadings) {
  auto readings = [](std::optional<std::uint64_t> seed) {
    sim::Board board;
    if (seed) board.values().noise().seed(*seed);
    auto& chip = board.sensors().bh17();
    testing_i2c::writeBytes(chip, board.clock(), {0x10});
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 20; ++i) {
      board.clock().advanceTo(board.clock().now() + sim::milliseconds(120));
      for (auto b : testing_i2c::readBytes(chip, board.clock(), 2).bytes) all.push_back(b);
    }
    return all;
  };
  auto quiet = readings(std::nullopt);
  for (std::size_t i = 0; i < quiet.size(); i += 2) EXPECT_EQ(quiet[i] << 8 | quiet[i + 1], 400);
  EXPECT_EQ(readings(7), readings(7));
  EXPECT_NE(readings(7), quiet);
}

}  // namespace
