// Receive queues of the console and ZigBee ports.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "firmware_board.h"

namespace {

class UartQueue : public ::testing::Test {
 protected:
  void SetUp() override { EmptyReceiveQueues(); }
};

TEST_F(UartQueue, EntriesComeOutInOrderAcrossTheWrapFromLastSlotToFirst) {
  // Move both ends to two slots before the end of the storage through the
  // interface, so the next five entries wrap round to the first slots.
  for (std::uint32_t i = 0; i < UART_QUEUE_SIZE - 2; ++i) {
    UartQueue_Serial_EnQueue(static_cast<std::uint16_t>(i));
    ASSERT_EQ(UartQueue_Serial_DeQueue(), static_cast<std::uint16_t>(i));
  }
  for (std::uint16_t v = 1; v <= 5; ++v) UartQueue_Serial_EnQueue(v);
  for (std::uint16_t v = 1; v <= 5; ++v) {
    ASSERT_FALSE(UartQueue_Serial_Is_Empty());
    EXPECT_EQ(UartQueue_Serial_DeQueue(), v);
  }
  EXPECT_TRUE(UartQueue_Serial_Is_Empty());
  EXPECT_EQ(uart_queue_serial_dropped, 0u);
}

TEST_F(UartQueue, InitializeEmptiesTheCommQueueAndGivesBackItsWholeRoom) {
  for (std::uint16_t v = 0; v < 10; ++v) UartQueue_Comm_EnQueue(v);
  (void)UartQueue_Comm_DeQueue();
  UartQueue_Comm_Initialize();
  EXPECT_TRUE(UartQueue_Comm_Is_Empty());
  // The full capacity is available again and nothing of before comes back.
  for (std::uint32_t i = 0; i < UART_QUEUE_SIZE - 1; ++i) UartQueue_Comm_EnQueue(static_cast<std::uint16_t>(100 + i));
  EXPECT_EQ(uart_queue_comm_dropped, 0u);
  EXPECT_EQ(UartQueue_Comm_DeQueue(), 100);
}

TEST_F(UartQueue, HoldsAndReturnsTwoThousandNineHundredNinetyNineEntriesInOrder) {
  for (std::uint32_t i = 0; i < UART_QUEUE_SIZE - 1; ++i) UartQueue_Comm_EnQueue(static_cast<std::uint16_t>(i));
  EXPECT_FALSE(UartQueue_Comm_Is_Empty());
  EXPECT_EQ(uart_queue_comm_dropped, 0u);
  for (std::uint32_t i = 0; i < UART_QUEUE_SIZE - 1; ++i) {
    ASSERT_FALSE(UartQueue_Comm_Is_Empty());
    ASSERT_EQ(UartQueue_Comm_DeQueue(), static_cast<std::uint16_t>(i));
  }
  EXPECT_TRUE(UartQueue_Comm_Is_Empty());
}

TEST_F(UartQueue, AFullQueueDropsTheNewEntryCountsItAndKeepsWhatItHolds) {
  for (std::uint32_t i = 0; i < UART_QUEUE_SIZE - 1; ++i) UartQueue_Serial_EnQueue(static_cast<std::uint16_t>(i));
  UartQueue_Serial_EnQueue(0xABC);
  UartQueue_Serial_EnQueue(0xDEF);
  EXPECT_EQ(uart_queue_serial_dropped, 2u);
  EXPECT_FALSE(UartQueue_Serial_Is_Empty());
  for (std::uint32_t i = 0; i < UART_QUEUE_SIZE - 1; ++i) {
    ASSERT_EQ(UartQueue_Serial_DeQueue(), static_cast<std::uint16_t>(i));
  }
  EXPECT_TRUE(UartQueue_Serial_Is_Empty());
  // Room again after reading: the next entry is kept.
  UartQueue_Serial_EnQueue(7);
  EXPECT_EQ(UartQueue_Serial_DeQueue(), 7);
}

TEST_F(UartQueue, NineBitEntryIsReturnedUnchanged) {
  UartQueue_Comm_EnQueue(0x1FF);
  EXPECT_EQ(UartQueue_Comm_DeQueue(), 0x1FF);
}

TEST_F(UartQueue, QueuesAreIndependent) {
  UartQueue_Comm_EnQueue(1);
  EXPECT_TRUE(UartQueue_Serial_Is_Empty());
  UartQueue_Serial_EnQueue(2);
  EXPECT_EQ(UartQueue_Comm_DeQueue(), 1);
  EXPECT_EQ(UartQueue_Serial_DeQueue(), 2);
}

// A terminal floods the console port at line rate while the main loop reads
// slowly, with pauses longer than a frame: every byte arrives, in order.
TEST_F(UartQueue, ReceiveInterruptFloodInterleavedWithSlowReadsLosesNothing) {
  FirmwareBoard fw;
  sim::Board& board = fw.board;

  std::string sent;
  for (int i = 0; i < 2000; ++i) sent.push_back(static_cast<char>(i * 7 + 3));
  board.console().send(sent);

  std::string got;
  sim::Time deadline = board.console().sendDoneAt() + sim::milliseconds(1);
  while (board.clock().now() < deadline || !UartQueue_Serial_Is_Empty()) {
    if (UartQueue_Serial_Is_Empty()) {
      Platform_IdleHint();
      continue;
    }
    got.push_back(static_cast<char>(UartQueue_Serial_DeQueue() & 0xFF));
    // The main loop is busy for about three frames between two reads (2,000
    // register reads of 4 cycles at 32 MHz); the receive interrupt keeps going.
    for (int k = 0; k < 2000; ++k) (void)static_cast<std::uint32_t>(GPIOA->IDR);
  }
  EXPECT_EQ(got, sent);
  EXPECT_EQ(uart_queue_serial_dropped, 0u);
  EXPECT_EQ(board.usart1().overruns(), 0u);
}

}  // namespace
