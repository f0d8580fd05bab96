// Peripheral clocks and resets from RCC: a block whose clock is off ignores
// writes, reads zero, keeps its registers and stops where it is; a block whose
// reset bit is set stays at its reset values; and a timer with a zero
// auto-reload is blocked.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "platform.h"
#include "sim/board.h"

namespace {

constexpr std::uint32_t kTim2 = RCC_APB1Periph_TIM2;
constexpr std::uint32_t kUsart1 = RCC_APB2Periph_USART1;

class PeripheralGating : public ::testing::Test {
 protected:
  // Core cycles at the reset clock (MSI, 2,097,152 Hz), which also clocks TIM2.
  void runCycles(std::uint64_t n) {
    board.clock().advanceTo(board.clock().now() + sim::cyclesToTime(n, board.clock().coreHz()));
  }
  std::uint32_t counter() { return board.tim2().read(offsetof(TIM_TypeDef, CNT), 2); }
  void startTim2(std::uint16_t reload) {
    RCC->APB1ENR = RCC->APB1ENR | kTim2;
    TIM2->ARR = reload;
    TIM2->CR1 = TIM_CR1_CEN;
  }

  sim::Board board;
};

TEST_F(PeripheralGating, ABlockWhoseClockIsOffIgnoresWritesReadsZeroAndKeepsItsRegisters) {
  I2C1->CR2 = 0x20;
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_I2C1, ENABLE);
  EXPECT_EQ(I2C1->CR2, 0u);  // the write before the clock was on was lost
  I2C1->CR2 = 0x20;
  EXPECT_EQ(I2C1->CR2, 0x20u);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_I2C1, DISABLE);
  EXPECT_EQ(I2C1->CR2, 0u);
  I2C1->CR2 = 0x10;  // lost again
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_I2C1, ENABLE);
  EXPECT_EQ(I2C1->CR2, 0x20u);  // switching the clock off loses no register contents
  EXPECT_EQ(board.i2c2().reg(0x04), 0u);  // the other bus was never touched
}

TEST_F(PeripheralGating, ATimerWhoseClockIsOffMakesNoUpdatesAndGoesOnFromItsCountWhenItReturns) {
  startTim2(999);
  runCycles(1500);
  ASSERT_EQ(board.tim2().updates(), 1u);
  RCC->APB1ENR = RCC->APB1ENR & ~kTim2;
  const std::uint32_t held = counter();
  runCycles(100'000);
  EXPECT_EQ(board.tim2().updates(), 1u);
  EXPECT_EQ(counter(), held);
  EXPECT_EQ(TIM2->CNT, 0u);  // a block without its clock reads as zero

  RCC->APB1ENR = RCC->APB1ENR | kTim2;
  EXPECT_NEAR(static_cast<double>(counter()), static_cast<double>(held), 8.0);
  runCycles(1000 - held + 8);
  EXPECT_EQ(board.tim2().updates(), 2u);
}

TEST_F(PeripheralGating, ABlockHeldInResetKeepsItsResetValuesUntilReleased) {
  startTim2(999);
  RCC->APB1RSTR = kTim2;
  TIM2->ARR = 5;
  EXPECT_EQ(TIM2->ARR, 0xFFFFu);
  EXPECT_EQ(TIM2->CR1, 0u);
  runCycles(200'000);
  EXPECT_EQ(board.tim2().updates(), 0u);
  RCC->APB1RSTR = 0;
  EXPECT_EQ(TIM2->ARR, 0xFFFFu);
  TIM2->ARR = 5;
  EXPECT_EQ(TIM2->ARR, 5u);
}

TEST_F(PeripheralGating, ATimerWithAZeroAutoReloadIsBlocked) {
  startTim2(0);
  runCycles(300'000);
  EXPECT_EQ(board.tim2().updates(), 0u);
  EXPECT_EQ(counter(), 0u);
  TIM2->ARR = 9;
  runCycles(100);
  EXPECT_GE(board.tim2().updates(), 9u);
}

TEST_F(PeripheralGating, ASerialPortWhoseClockStopsMidFrameEndsTheFrameOnlyAfterTheClockReturns) {
  std::vector<sim::Time> sentAt;
  board.usart1().onTransmit([&](const sim::Usart::Frame&) { sentAt.push_back(board.clock().now()); });
  RCC->APB2ENR = RCC->APB2ENR | kUsart1;
  USART1->BRR = 18;  // 115200 bit/s at MSI
  USART1->CR1 = USART_CR1_UE | USART_CR1_TE;
  USART1->DR = 'a';
  const sim::Time started = board.clock().now();
  const sim::Time frame = sim::cyclesToTime(10 * 18, board.clock().coreHz());

  board.clock().advanceTo(started + frame / 2);
  RCC->APB2ENR = RCC->APB2ENR & ~kUsart1;
  const sim::Time stopped = board.clock().now();
  board.clock().advanceTo(stopped + sim::milliseconds(1));
  EXPECT_TRUE(sentAt.empty());
  RCC->APB2ENR = RCC->APB2ENR | kUsart1;
  const sim::Time resumed = board.clock().now();
  board.clock().advanceTo(resumed + frame);
  ASSERT_EQ(sentAt.size(), 1u);
  EXPECT_EQ(sentAt[0], resumed + (started + frame - stopped));
}

}  // namespace
