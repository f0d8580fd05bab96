// The ZigBee remote-control receiver and the blinking on the TIM2 tick, through
// the firmware's functions, with bytes put into the ZigBee queue as its
// receive interrupt does.
#include <gtest/gtest.h>

#include <string>

#include "firmware_board.h"
#include "test_actuator.h"

namespace {

struct RemoteControl : ::testing::Test {
  FirmwareBoard fw;

  RemoteControl() {
    for (auto& flag : g_actuator_blink_state) flag = false;
    Actuator_Port_Initialization();
  }
  // The level the board drives on output port n (1-4).
  bool high(int port) {
    return fw.board.pinLevel(sim::PinName{'A', static_cast<unsigned>(3 + port)}) == sim::Level::High;
  }
  bool command(char byte) {
    UartQueue_Comm_EnQueue(static_cast<std::uint8_t>(byte));
    return Test_Actuator_ZigBee_Comm_RX();
  }
  std::string reply() {
    std::size_t before = fw.board.zigbee().uart().received().size();
    command('S');
    Delay(2);
    return fw.board.zigbee().uart().received().substr(before);
  }
};

TEST_F(RemoteControl, TheReceiverSaysWhetherItTookAByteAndTakesOneAtATime) {
  std::size_t printed = fw.board.console().received().size();
  EXPECT_FALSE(Test_Actuator_ZigBee_Comm_RX());
  Delay(2);
  EXPECT_EQ(fw.board.console().received().size(), printed);

  UartQueue_Comm_EnQueue('1');
  UartQueue_Comm_EnQueue('4');
  EXPECT_TRUE(Test_Actuator_ZigBee_Comm_RX());
  EXPECT_TRUE(high(1));
  EXPECT_FALSE(high(2));
  EXPECT_FALSE(UartQueue_Comm_Is_Empty());
}

TEST_F(RemoteControl, ABlinkingOutputReportsCodeTwoWhateverItsLevel) {
  command('1');
  command('2');
  ASSERT_TRUE(high(1));
  EXPECT_EQ(reply(), std::string("\x02\x00\x00", 3));
  Actuator_Blink_Tick();
  ASSERT_FALSE(high(1));
  EXPECT_EQ(reply(), std::string("\x02\x00\x00", 3));
}

TEST_F(RemoteControl, TheBlinkTickInvertsOnlyBlinkingOutputsAndAnOnOrOffCommandStopsIt) {
  command('4');  // port 2 steady high
  command('8');  // port 3 blinking from low
  command('B');  // port 4 blinking from low
  Actuator_Blink_Tick();
  EXPECT_FALSE(high(1));
  EXPECT_TRUE(high(2));
  EXPECT_TRUE(high(3));
  EXPECT_TRUE(high(4));
  Actuator_Blink_Tick();
  EXPECT_TRUE(high(2));
  EXPECT_FALSE(high(3));
  EXPECT_FALSE(high(4));
  command('A');  // port 4 on: no more blinking
  Actuator_Blink_Tick();
  EXPECT_TRUE(high(3));
  EXPECT_TRUE(high(4));
  Actuator_Blink_Tick();
  EXPECT_TRUE(high(4));
}

TEST_F(RemoteControl, LocalSwitchingOfOneOutputLeavesTheOthersAlone) {
  Actuator_Output_Port_2_On();
  Actuator_Output_Port_4_On();
  Actuator_Output_Port_4_Off();
  EXPECT_EQ(Actuator_Output_Port_1_GetValue(), 0);
  EXPECT_EQ(Actuator_Output_Port_2_GetValue(), 1);
  EXPECT_EQ(Actuator_Output_Port_3_GetValue(), 0);
  EXPECT_EQ(Actuator_Output_Port_4_GetValue(), 0);
  Actuator_Output_Port_2_Toggle();
  Actuator_Output_Port_2_Toggle();
  EXPECT_EQ(Actuator_Output_Port_2_GetValue(), 1);
}

}  // namespace
