// The ZigBee module on USART3: held in reset by a low PA8, its own pull-up on
// the reset input, silent of its own in transparent mode (a start-up notice
// only when asked for), and the byte bridge to its peer.
#include "sim/devices/zigbee_module.h"

#include <gtest/gtest.h>

#include <string>

#include "firmware_board.h"
#include "test_actuator.h"
#include "uart_comm.h"

namespace {

// Stands in for whatever is in radio range.
struct RecordingPeer : sim::ZigBeePeer {
  std::string bytes;
  void fromModule(std::uint8_t byte) override { bytes.push_back(static_cast<char>(byte)); }
};

std::string takeZigBeeQueue() {
  std::string out;
  while (!UartQueue_Comm_Is_Empty()) out.push_back(static_cast<char>(UartQueue_Comm_DeQueue()));
  return out;
}

struct ZigBeeModuleTest : ::testing::Test {
  FirmwareBoard fw;
  RecordingPeer peer;
  sim::ZigBeeModule& module = fw.board.zigbee();

  ZigBeeModuleTest() { module.setPeer(&peer); }
  ~ZigBeeModuleTest() override { module.setPeer(nullptr); }
  // Releases the module's reset (PA8 high) and returns what it sent the board
  // within `ms`.
  std::string releaseAndListen(std::uint32_t ms) {
    GPIO_SetBits(GPIOA, GPIO_Pin_8);
    run(ms);
    return takeZigBeeQueue();
  }
  // PA8 low for a millisecond: the module is in reset again.
  void holdInReset() {
    GPIO_ResetBits(GPIOA, GPIO_Pin_8);
    run(1);
  }
  // Lets the firmware wait, so that its receive interrupt runs meanwhile.
  void run(std::uint32_t ms) { runFor(sim::milliseconds(ms)); }
  void runFor(sim::Time t) {
    sim::Time until = fw.now() + t;
    while (fw.now() < until) Platform_IdleHint();
  }
};

TEST_F(ZigBeeModuleTest, HeldInResetItSendsNothingAndDropsWhatItReceivesFromBothSides) {
  // The pin configuration drives PA8 low.
  ASSERT_TRUE(module.inReset());
  run(5);
  module.fromPeer("abc");
  UartComm_SendData_OneChar('x');
  run(5);
  EXPECT_EQ(takeZigBeeQueue(), "");
  EXPECT_EQ(peer.bytes, "");
  EXPECT_EQ(module.droppedFromPeer(), 3u);
  EXPECT_EQ(module.droppedFromBoard(), 1u);
}

TEST_F(ZigBeeModuleTest, InTransparentModeLeavingResetSendsTheBoardNothing) {
  EXPECT_EQ(releaseAndListen(5), "");
  holdInReset();
  EXPECT_EQ(releaseAndListen(5), "");
  EXPECT_EQ(module.noticesSent(), 0u);
}

TEST_F(ZigBeeModuleTest, AModuleGivenANoticeAnnouncesItselfWithinTwoMillisecondsOfEachRelease) {
  module.setStartUpNotice("READY\r\n");
  EXPECT_EQ(releaseAndListen(2), "READY\r\n");
  holdInReset();
  EXPECT_EQ(releaseAndListen(2), "READY\r\n");
  EXPECT_EQ(module.noticesSent(), 2u);
}

TEST_F(ZigBeeModuleTest, ResetDuringTheNoticeCutsItShort) {
  const std::string notice = "READY\r\n";
  module.setStartUpNotice(notice);
  GPIO_SetBits(GPIOA, GPIO_Pin_8);
  runFor(sim::ZigBeeModule::kBootTime + sim::microseconds(200));
  GPIO_ResetBits(GPIOA, GPIO_Pin_8);
  run(5);
  std::string got = takeZigBeeQueue();
  EXPECT_LT(got.size(), notice.size());
  EXPECT_EQ(got, notice.substr(0, got.size()));
}

TEST_F(ZigBeeModuleTest, OutOfResetBytesPassBothWaysInOrder) {
  releaseAndListen(3);
  module.fromPeer(std::string("S\x00\xff", 3));
  UartComm_SendData_OneChar('1');
  UartComm_SendData_OneChar(0x00);
  run(2);
  EXPECT_EQ(takeZigBeeQueue(), std::string("S\x00\xff", 3));
  EXPECT_EQ(peer.bytes, std::string("1\x00", 2));
}

TEST_F(ZigBeeModuleTest, AReleasedResetLineIsHeldHighByTheModuleAndAnOutsideLowStillResetsIt) {
  ZigBee_Reset_Pin_Open();
  EXPECT_EQ(fw.board.gpio('A').mode(8), sim::GpioPort::Mode::Input);
  EXPECT_EQ(fw.board.gpio('A').pull(8), sim::GpioPort::Pull::None);
  EXPECT_FALSE(module.inReset());
  fw.board.drivePin(*sim::parsePin("PA8"), sim::Level::Low);
  EXPECT_TRUE(module.inReset());
  fw.board.drivePin(*sim::parsePin("PA8"), std::nullopt);
  EXPECT_FALSE(module.inReset());
}

}  // namespace
