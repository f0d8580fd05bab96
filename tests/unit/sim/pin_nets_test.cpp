// Pins as wired nets: how the port's drivers, the board's parts and the
// outside world settle each line, and the shorts between them.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "sim/board.h"
#include "sim/core/stop.h"

namespace {

using sim::Drive;
using sim::Level;

void configure(GPIO_TypeDef* port, std::uint16_t pins, GPIOMode_TypeDef mode, GPIOPuPd_TypeDef pull,
               GPIOOType_TypeDef type = GPIO_OType_PP) {
  GPIO_InitTypeDef settings{pins, mode, GPIO_Speed_40MHz, type, pull};
  GPIO_Init(port, &settings);
}

std::string shortMessage(const std::function<void()>& action) {
  try {
    action();
  } catch (const sim::Stop& stop) {
    if (stop.kind() == sim::StopKind::Short) return stop.what();
    return std::string("stopped, but not by a short: ") + stop.what();
  }
  return "no short";
}

class PinNets : public ::testing::Test {
 protected:
  PinNets() { RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOA | RCC_AHBPeriph_GPIOB | RCC_AHBPeriph_GPIOC, ENABLE); }
  sim::Board board;
};

TEST_F(PinNets, ResolveAsAWiredCircuit) {
  sim::Net net("N1");
  sim::NetDriver a(net, "a"), b(net, "b"), pull(net, "pull");
  EXPECT_TRUE(net.floating());
  pull.set(Drive::PullUp);
  EXPECT_EQ(net.level(), Level::High);
  a.set(Drive::Low);  // an open drain pulling low beats the pull-up
  EXPECT_EQ(net.level(), Level::Low);
  a.set(Drive::None);
  b.set(Drive::PullDown);  // opposing pulls leave the line floating
  EXPECT_EQ(net.level(), Level::Low);
  b.set(Drive::High);
  a.set(Drive::High);  // two drivers agreeing is no fight
  EXPECT_EQ(net.level(), Level::High);
  EXPECT_NE(shortMessage([&] { a.set(Drive::Low); }), "no short");
  EXPECT_EQ(a.drive(), Drive::High);  // the refused change did not stick
}

TEST_F(PinNets, AnAnalogPinReadsZeroWhateverItsPullOrTheLine) {
  configure(GPIOA, GPIO_Pin_1, GPIO_Mode_AN, GPIO_PuPd_UP);
  board.drivePin({'A', 1}, Level::High);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOA, GPIO_Pin_1), 0);
  board.drivePin({'A', 1}, std::nullopt);
  // The pull resistor is off in analog mode: nothing drives the line.
  EXPECT_TRUE(board.net({'A', 1}).floating());
  configure(GPIOA, GPIO_Pin_1, GPIO_Mode_IN, GPIO_PuPd_UP);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOA, GPIO_Pin_1), 1);
}

TEST_F(PinNets, AnAlternateFunctionDrivesOnlyWhenSelectedAndOpenDrainTurnsItsHighIntoLettingGo) {
  sim::PinFunction scl("I2C1 SCL");
  board.gpio('B').attachFunction(6, 4, scl);
  sim::Net& line = board.net(*sim::findPin("I2C1_SCL"));
  scl.set(Drive::Low);
  configure(GPIOB, GPIO_Pin_6, GPIO_Mode_AF, GPIO_PuPd_NOPULL, GPIO_OType_OD);
  EXPECT_FALSE(scl.routed());  // AF0 selected, not the I2C's AF4
  EXPECT_EQ(line.level(), Level::High);  // the board's pull-up
  GPIO_PinAFConfig(GPIOB, 6, GPIO_AF_I2C1);
  EXPECT_TRUE(scl.routed());
  EXPECT_EQ(line.level(), Level::Low);
  scl.set(Drive::High);  // released: the pull-up brings the line back
  EXPECT_EQ(line.level(), Level::High);
  EXPECT_EQ(line.describeDrivers(), "board pull-up: pull-up");
  // Another part holding the line low is a wired-AND, not a fight.
  board.drivePin({'B', 6}, Level::Low);
  EXPECT_EQ(scl.level(), Level::Low);
  board.drivePin({'B', 6}, std::nullopt);
  // Push-pull passes the high through, and then a part holding it low is a short.
  configure(GPIOB, GPIO_Pin_6, GPIO_Mode_AF, GPIO_PuPd_NOPULL, GPIO_OType_PP);
  std::string message = shortMessage([&] { board.drivePin({'B', 6}, Level::Low); });
  EXPECT_NE(message.find("PB6"), std::string::npos) << message;
  EXPECT_NE(message.find("I2C1 SCL drives high"), std::string::npos) << message;
}

TEST_F(PinNets, TheBoardsPartsHoldTheirLines) {
  // I2C lines high through the board's pull-ups, inputs floating low.
  for (const char* line : {"I2C1_SCL", "I2C1_SDA", "I2C2_SCL", "I2C2_SDA"}) {
    EXPECT_EQ(board.pinLevel(*sim::findPin(line)), Level::High) << line;
  }
  EXPECT_EQ(board.pinLevel(*sim::findPin("IN1")), Level::Low);
  // A closed DIP switch pulls its line low against the firmware's pull-up.
  configure(GPIOB, GPIO_Pin_12, GPIO_Mode_IN, GPIO_PuPd_UP);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_12), 1);
  board.setDipSwitch(1, true);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_12), 0);
  // Firmware driving the closed switch's line high is a short with the switch.
  std::string message = shortMessage([&] {
    GPIO_SetBits(GPIOB, GPIO_Pin_12);
    configure(GPIOB, GPIO_Pin_12, GPIO_Mode_OUT, GPIO_PuPd_NOPULL);
  });
  EXPECT_NE(message.find("GPIOB output drives high, DIP1 switch drives low"), std::string::npos) << message;
}

TEST_F(PinNets, PinsAreFoundByBoardOrPortNameInAnyCase) {
  for (const char* name : {"LED1", "led1", "PC7", "pc7"}) {
    ASSERT_TRUE(sim::findPin(name).has_value()) << name;
    EXPECT_EQ(*sim::findPin(name), (sim::PinName{'C', 7})) << name;
  }
  EXPECT_EQ(*sim::findPin("Zb_Reset"), (sim::PinName{'A', 8}));
  EXPECT_EQ(*sim::findPin("dip3"), (sim::PinName{'B', 15}));
  for (const char* bad : {"PC07", "PC16", "PF1", "LED4", "", "P", "C7"}) EXPECT_FALSE(sim::findPin(bad)) << bad;
  // Every board name is unique and names a pin with a role.
  for (const auto& entry : sim::boardPins()) {
    EXPECT_EQ(sim::boardPin(entry.pin), &entry) << entry.name;
    EXPECT_NE(std::string(entry.role), "") << entry.name;
  }
}

TEST_F(PinNets, AnOutsideDriverBeatsThePullAndAFreeInputFloatsLow) {
  configure(GPIOB, 0x2000, GPIO_Mode_IN, GPIO_PuPd_UP);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, 0x2000), 1);
  board.drivePin({'B', 13}, Level::Low);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, 0x2000), 0);
  board.drivePin({'B', 13}, std::nullopt);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, 0x2000), 1);

  configure(GPIOB, 0x2000, GPIO_Mode_IN, GPIO_PuPd_DOWN);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, 0x2000), 0);
  board.drivePin({'B', 13}, Level::High);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, 0x2000), 1);

  board.drivePin({'B', 13}, std::nullopt);
  configure(GPIOB, 0x2000, GPIO_Mode_IN, GPIO_PuPd_NOPULL);
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, 0x2000), 0);
}

TEST_F(PinNets, OpenDrainOutputOnlyPullsLow) {
  configure(GPIOB, 0x0001, GPIO_Mode_OUT, GPIO_PuPd_UP, GPIO_OType_OD);
  EXPECT_EQ(board.gpio('B').level(0), Level::Low);
  GPIO_SetBits(GPIOB, 0x0001);
  EXPECT_EQ(board.gpio('B').level(0), Level::High);  // released: the pull-up holds it
  board.drivePin({'B', 0}, Level::Low);    // wired-AND with the outside world
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, 0x0001), 0);
  EXPECT_EQ(GPIO_ReadOutputDataBit(GPIOB, 0x0001), 1);  // the latch still reads back as written
}

TEST_F(PinNets, APushPullOutputHeldTheOtherWayFromOutsideIsAShortNamingPinDriversAndTime) {
  configure(GPIOA, 0x0010, GPIO_Mode_OUT, GPIO_PuPd_NOPULL);
  GPIO_SetBits(GPIOA, 0x0010);
  board.clock().advanceTo(sim::milliseconds(3));
  try {
    board.drivePin({'A', 4}, Level::Low);
    FAIL() << "no short";
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Short);
    std::string what = stop.what();
    for (const char* part : {"PA4", "GPIOA output drives high", "script drives low", "0.003"}) {
      EXPECT_NE(what.find(part), std::string::npos) << part << " missing in: " << what;
    }
  }
  // The refused driver did not take hold: the line still carries the output.
  EXPECT_EQ(GPIO_ReadInputDataBit(GPIOA, 0x0010), 1);
}

TEST_F(PinNets, ObserversHearEachChangeOfLevelOnce) {
  std::vector<std::pair<unsigned, Level>> seen;
  sim::Subscription watch = board.gpio('C').onLevelChange([&](unsigned pin, Level level) { seen.emplace_back(pin, level); });
  configure(GPIOC, 0x0300, GPIO_Mode_OUT, GPIO_PuPd_NOPULL);  // floating low to driven low: no change
  GPIO_SetBits(GPIOC, 0x0300);
  GPIO_SetBits(GPIOC, 0x0300);  // already high
  GPIO_ResetBits(GPIOC, 0x0100);
  std::vector<std::pair<unsigned, Level>> expected{{8, Level::High}, {9, Level::High}, {8, Level::Low}};
  EXPECT_EQ(seen, expected);
}

TEST_F(PinNets, TheReservedPullSettingStopsTheRunNamingThePin) {
  try {
    GPIOC->PUPDR = 3u << 22;
    FAIL() << "no stop";
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
    EXPECT_NE(std::string(stop.what()).find("PC11"), std::string::npos) << stop.what();
  }
}

}  // namespace
