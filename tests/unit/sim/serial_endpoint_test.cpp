// The far end of a serial line: pace of what it sends, what it accepts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform.h"
#include "sim/board.h"

namespace {

// PA9 and PA10 handed to USART1, as the firmware's pin set-up does.
void routeConsolePins() {
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOA, ENABLE);
  GPIO_PinAFConfig(GPIOA, 9, GPIO_AF_USART1);
  GPIO_PinAFConfig(GPIOA, 10, GPIO_AF_USART1);
  GPIO_InitTypeDef pins{GPIO_Pin_9 | GPIO_Pin_10, GPIO_Mode_AF, GPIO_Speed_40MHz, GPIO_OType_PP, GPIO_PuPd_UP};
  GPIO_Init(GPIOA, &pins);
}

// USART1 enabled for reception at 115200 bit/s on the 32 MHz clock.
struct ConsoleLine {
  ConsoleLine() {
    SystemInit();
    routeConsolePins();
    RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, ENABLE);
    USART_InitTypeDef init{115200,          USART_WordLength_8b,           USART_StopBits_1,
                           USART_Parity_No, USART_Mode_Rx | USART_Mode_Tx, USART_HardwareFlowControl_None};
    USART_Init(USART1, &init);
    USART_Cmd(USART1, ENABLE);
  }
  sim::Board board;
};

TEST(SerialEndpoint, BytesSentToTheBoardFollowEachOtherAtTheTerminalsRate) {
  ConsoleLine line;
  std::vector<sim::Time> arrivals;
  sim::Time start = line.board.clock().now();
  line.board.console().send("ab");
  line.board.console().send("c");  // queued behind the first two
  EXPECT_EQ(line.board.console().sendDoneAt(), start + 30 * line.board.console().bitTime());
  while (line.board.clock().now() < start + sim::milliseconds(1)) {
    if (USART_GetFlagStatus(USART1, USART_FLAG_RXNE) == SET) {
      arrivals.push_back(line.board.clock().now());
      (void)USART_ReceiveData(USART1);
    }
  }
  ASSERT_EQ(arrivals.size(), 3u);
  sim::Time frame = sim::fraction(10, 115200);  // 86.8 us
  for (std::size_t i = 0; i < arrivals.size(); ++i) {
    // Each frame is complete one frame time after the previous one; the poll
    // loop sees it within a few cycles.
    EXPECT_GE(arrivals[i], start + (i + 1) * frame);
    EXPECT_LT(arrivals[i], start + (i + 1) * frame + sim::microseconds(2));
  }
}

TEST(SerialEndpoint, BytesSentBeforeThePortIsEnabledAreLost) {
  sim::Board board;
  board.console().send("k");
  board.clock().advanceTo(board.clock().now() + sim::milliseconds(1));
  SystemInit();
  routeConsolePins();
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, ENABLE);
  USART_Cmd(USART1, ENABLE);
  USART1->CR1 = USART1->CR1 | USART_CR1_RE;
  EXPECT_EQ(USART_GetFlagStatus(USART1, USART_FLAG_RXNE), RESET);
  EXPECT_FALSE(board.console().sending());
}

TEST(SerialEndpoint, TheTerminalShowsOnlyIntactFramesFromTheBoard) {
  ConsoleLine line;
  USART_SendData(USART1, 'o');
  line.board.clock().advanceTo(line.board.clock().now() + sim::milliseconds(1));
  std::vector<std::uint8_t> garbage;
  sim::Subscription errors = line.board.console().onFramingError([&](std::uint8_t byte) { garbage.push_back(byte); });
  // The divisor 7 % off: by the terminal's stop-bit sample the board is still
  // sending data bit 7 of 'k' (0110 1011), which is low.
  USART1->BRR = static_cast<std::uint16_t>(0x116 * 107 / 100);
  USART_SendData(USART1, 'k');
  line.board.clock().advanceTo(line.board.clock().now() + sim::milliseconds(1));
  EXPECT_EQ(line.board.console().received(), "o");
  EXPECT_EQ(line.board.console().framingErrors(), 1u);
  // Its data samples fell on bits 0-6 and, last, bit 6 again.
  EXPECT_EQ(garbage, std::vector<std::uint8_t>{0xEB});
}

TEST(SerialEndpoint, AListenerHearsTheBoardUntilItsSubscriptionIsDropped) {
  ConsoleLine line;
  std::string heard, lost;
  auto sendAndRun = [&](char c) {
    USART_SendData(USART1, static_cast<std::uint16_t>(c));
    line.board.clock().advanceTo(line.board.clock().now() + sim::milliseconds(1));
  };
  {
    sim::Subscription bytes = line.board.console().onByte([&](std::uint8_t b) { heard += static_cast<char>(b); });
    sim::Subscription errors =
        line.board.console().onFramingError([&](std::uint8_t b) { lost += static_cast<char>(b); });
    sendAndRun('a');
  }
  sendAndRun('b');
  EXPECT_EQ(heard, "a");
  EXPECT_EQ(line.board.console().received(), "ab");
  EXPECT_TRUE(lost.empty());
}

}  // namespace
