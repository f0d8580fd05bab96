// Status LEDs on PC7-PC9, lit while their line is low.
#include "led.h"

#include <gtest/gtest.h>

#include <vector>

#include "firmware_board.h"

namespace {

using sim::milliseconds;

TEST(StatusLeds, SwitchingOneLedLeavesTheOtherLinesOfThePortAlone) {
  FirmwareBoard fw;
  LED_Off_All();
  LED_On(LED2);
  EXPECT_FALSE(fw.lit("PC7"));
  EXPECT_TRUE(fw.lit("PC8"));
  EXPECT_FALSE(fw.lit("PC9"));
  // The USART3 pins on the same port keep their alternate function.
  EXPECT_EQ(fw.board.gpio('C').mode(10), sim::GpioPort::Mode::Alternate);
  EXPECT_EQ(fw.board.gpio('C').mode(11), sim::GpioPort::Mode::Alternate);
}

TEST(StatusLeds, LedsAreLitFromPinConfigurationUntilSwitchedOff) {
  FirmwareBoard fw;
  EXPECT_TRUE(fw.lit("PC7") && fw.lit("PC8") && fw.lit("PC9"));
  LED_Off_All();
  EXPECT_FALSE(fw.lit("PC7") || fw.lit("PC8") || fw.lit("PC9"));
}

TEST(StatusLeds, RunningLightOfZeroCyclesSwitchesNothingAndDoesNotWait) {
  FirmwareBoard fw;
  LED_Off_All();
  LED_On(LED1);
  sim::Time before = fw.now();
  LED_Blink_All(0, 200);
  EXPECT_LT(fw.now() - before, milliseconds(1));
  EXPECT_TRUE(fw.lit("PC7"));
  EXPECT_FALSE(fw.lit("PC8") || fw.lit("PC9"));
}

TEST(StatusLeds, RunningLightLightsEachLedInTurnAndEndsWithLed3) {
  FirmwareBoard fw;
  LED_Off_All();
  std::vector<std::string> seen;
  sim::Subscription watch = fw.board.gpio('C').onLevelChange([&](unsigned, sim::Level) {
    std::string state;
    for (const char* pin : {"PC7", "PC8", "PC9"}) state += fw.lit(pin) ? '1' : '0';
    if (seen.empty() || seen.back() != state) seen.push_back(state);
  });
  sim::Time before = fw.now();
  LED_Blink_All(2, 30);
  sim::Time took = fw.now() - before;
  // 2 cycles of 3 steps of 30 ms, each step within the 1 ms resolution of Delay.
  EXPECT_GE(took, milliseconds(6 * 29));
  EXPECT_LE(took, milliseconds(6 * 30 + 1));
  EXPECT_FALSE(fw.lit("PC7"));
  EXPECT_FALSE(fw.lit("PC8"));
  EXPECT_TRUE(fw.lit("PC9"));
  // Steps seen after the in-step switching settles: LED1, LED2, LED3, twice.
  std::vector<std::string> steps;
  for (const auto& s : seen) {
    if (s == "100" || s == "010" || s == "001") {
      if (steps.empty() || steps.back() != s) steps.push_back(s);
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"100", "010", "001", "100", "010", "001"}));
}

}  // namespace
