// The receive interrupts of both serial ports feed their own queues.
#include <gtest/gtest.h>

#include <string>

#include "firmware_board.h"

namespace {

std::string drain(bool (*isEmpty)(), std::uint16_t (*dequeue)()) {
  std::string out;
  while (!isEmpty()) out.push_back(static_cast<char>(dequeue() & 0xFF));
  return out;
}

TEST(ReceiveInterrupts, ZigBeeBytesAndConsoleKeysEachLandInTheirOwnQueueInOrder) {
  FirmwareBoard fw;
  // The board's own ZigBee module line: a second far end on USART3's pins
  // would fight the module over the RX line.
  sim::SerialEndpoint& zigbee = fw.board.zigbee().uart();
  sim::Time frame = sim::fraction(10, 115200);
  // The ZigBee module and the operator send at the same time.
  sim::Time start = fw.now();
  zigbee.send("S1");
  fw.board.console().send("0x");
  while (fw.now() < start + 3 * frame) Platform_IdleHint();
  EXPECT_EQ(drain(UartQueue_Comm_Is_Empty, UartQueue_Comm_DeQueue), "S1");
  EXPECT_EQ(drain(UartQueue_Serial_Is_Empty, UartQueue_Serial_DeQueue), "0x");
}

TEST(ReceiveInterrupts, BytesThatArriveWhileTheMainLoopIsBusyWaitInTheQueue) {
  FirmwareBoard fw;
  fw.board.console().send("123");
  // A 20 ms delay: the keys arrive meanwhile and are kept.
  Delay(20);
  EXPECT_EQ(drain(UartQueue_Serial_Is_Empty, UartQueue_Serial_DeQueue), "123");
  EXPECT_EQ(fw.board.usart1().overruns(), 0u);
}

}  // namespace
