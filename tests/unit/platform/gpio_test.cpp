// GPIO pin configuration, output latches and input levels, through the
// platform operations on the virtual board's ports.
#include <gtest/gtest.h>

#include "platform.h"
#include "sim/board.h"

namespace {

using sim::GpioPort;
using sim::Level;

class GpioPins : public ::testing::Test {
 protected:
  GpioPins() {
    RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOA | RCC_AHBPeriph_GPIOB | RCC_AHBPeriph_GPIOC | RCC_AHBPeriph_GPIOH,
                          ENABLE);
  }

  static void init(GPIO_TypeDef* port, std::uint32_t pins, GPIOMode_TypeDef mode, GPIOPuPd_TypeDef pull,
                   GPIOOType_TypeDef type = GPIO_OType_PP, GPIOSpeed_TypeDef speed = GPIO_Speed_40MHz) {
    GPIO_InitTypeDef settings;
    settings.GPIO_Pin = pins;
    settings.GPIO_Mode = mode;
    settings.GPIO_Speed = speed;
    settings.GPIO_OType = type;
    settings.GPIO_PuPd = pull;
    GPIO_Init(port, &settings);
  }

  sim::Board board;
  GpioPort& portA = board.gpio('A');
  GpioPort& portB = board.gpio('B');
  GpioPort& portC = board.gpio('C');
};

TEST_F(GpioPins, ConfiguringSeveralPinsGivesEachTheSettingsAndLeavesTheOthersAlone) {
  init(GPIOA, 0x00F0, GPIO_Mode_OUT, GPIO_PuPd_DOWN, GPIO_OType_OD, GPIO_Speed_2MHz);
  std::uint32_t moderBefore = GPIOA->MODER;
  std::uint32_t pupdrBefore = GPIOA->PUPDR;
  init(GPIOA, 0x0300, GPIO_Mode_AF, GPIO_PuPd_UP, GPIO_OType_PP, GPIO_Speed_40MHz);

  for (unsigned pin : {4u, 5u, 6u, 7u}) {
    EXPECT_EQ(portA.mode(pin), GpioPort::Mode::Output) << pin;
    EXPECT_EQ(portA.pull(pin), GpioPort::Pull::Down) << pin;
    EXPECT_TRUE(portA.openDrain(pin)) << pin;
    EXPECT_EQ((GPIOA->OSPEEDR >> (2 * pin)) & 3u, 1u) << pin;
  }
  for (unsigned pin : {8u, 9u}) {
    EXPECT_EQ(portA.mode(pin), GpioPort::Mode::Alternate) << pin;
    EXPECT_EQ(portA.pull(pin), GpioPort::Pull::Up) << pin;
    EXPECT_FALSE(portA.openDrain(pin)) << pin;
    EXPECT_EQ((GPIOA->OSPEEDR >> (2 * pin)) & 3u, 3u) << pin;
  }
  // Every other field, the debug pins PA13-PA15 included, is as it was.
  EXPECT_EQ(GPIOA->MODER & ~0x000F0000u, moderBefore & ~0x000F0000u);
  EXPECT_EQ(GPIOA->PUPDR & ~0x000F0000u, pupdrBefore & ~0x000F0000u);
  EXPECT_EQ(portA.mode(13), GpioPort::Mode::Alternate);
  EXPECT_EQ(portA.pull(13), GpioPort::Pull::Up);
}

TEST_F(GpioPins, AlternateFunctionIsSetForThatOnePin) {
  GPIO_PinAFConfig(GPIOA, 9, GPIO_AF_USART1);
  GPIO_PinAFConfig(GPIOA, 10, GPIO_AF_USART1);
  GPIO_PinAFConfig(GPIOB, 7, GPIO_AF_I2C1);
  GPIO_PinAFConfig(GPIOB, 15, 0xF);
  EXPECT_EQ(portA.alternateFunction(9), 7u);
  EXPECT_EQ(portA.alternateFunction(10), 7u);
  EXPECT_EQ(portA.alternateFunction(8), 0u);
  EXPECT_EQ(portA.alternateFunction(11), 0u);
  EXPECT_EQ(portB.alternateFunction(7), 4u);
  EXPECT_EQ(portB.alternateFunction(6), 0u);
  EXPECT_EQ(portB.alternateFunction(15), 15u);
  EXPECT_EQ(GPIOB->AFR[1], 0xF0000000u);
}

TEST_F(GpioPins, SettingAndResettingLatchesTouchesOnlyTheNamedPinsInOneWrite) {
  GPIOC->ODR = 0x0F0Fu;
  std::uint64_t before = board.clock().cycles();
  GPIO_SetBits(GPIOC, 0x8010);
  EXPECT_EQ(board.clock().cycles() - before, sim::Board::kCyclesPerAccess);
  EXPECT_EQ(GPIOC->ODR, 0x8F1Fu);

  before = board.clock().cycles();
  GPIO_ResetBits(GPIOC, 0x0101);
  EXPECT_EQ(board.clock().cycles() - before, sim::Board::kCyclesPerAccess);
  EXPECT_EQ(GPIOC->ODR, 0x8E1Eu);

  GPIO_WriteBit(GPIOC, 0x0002, Bit_RESET);
  GPIO_WriteBit(GPIOC, 0x4000, Bit_SET);
  EXPECT_EQ(GPIOC->ODR, 0xCE1Cu);
  EXPECT_EQ(GPIOC->BSRR, 0u);  // write-only
}

TEST_F(GpioPins, SetWinsWhenBothHalvesNameAPinAndTheUpperHalfwordResets) {
  GPIOC->ODR = 0x0003u;
  GPIOC->BSRR = 0x00030004u;  // reset 0 and 1, set 2
  EXPECT_EQ(GPIOC->ODR, 0x0004u);
  GPIOC->BSRR = 0x00040004u;  // both halves name pin 2
  EXPECT_EQ(GPIOC->ODR, 0x0004u);
  board.bus().write(GPIOC_BASE + 0x1A, 2, 0x0004);  // halfword write to the reset half
  EXPECT_EQ(GPIOC->ODR, 0x0000u);
  board.bus().write(GPIOC_BASE + 0x18, 2, 0x0100);  // halfword write to the set half
  EXPECT_EQ(GPIOC->ODR, 0x0100u);
}

TEST_F(GpioPins, ALineSwitchedToOutputDrivesWhatItsLatchHeld) {
  init(GPIOC, 0x0080, GPIO_Mode_OUT, GPIO_PuPd_NOPULL);
  EXPECT_EQ(portC.level(7), Level::Low);  // latch clear after reset

  init(GPIOA, 0x0100, GPIO_Mode_IN, GPIO_PuPd_DOWN);
  GPIO_SetBits(GPIOA, 0x0100);
  EXPECT_EQ(portA.level(8), Level::Low);  // still an input: the pull holds it
  init(GPIOA, 0x0100, GPIO_Mode_OUT, GPIO_PuPd_NOPULL);
  EXPECT_EQ(portA.level(8), Level::High);
  EXPECT_EQ(GPIO_ReadOutputDataBit(GPIOA, 0x0100), 1);  // configuring left the latch alone
}

TEST_F(GpioPins, ReadsReturnExactlyZeroOrOneForEveryPinUpToFifteen) {
  for (unsigned pin = 0; pin < 16; ++pin) {
    if (pin == 2) continue;  // PH2 is the PIR sensor's output: driving it from outside is a short
    std::uint16_t mask = static_cast<std::uint16_t>(1u << pin);
    board.drivePin({'H', pin}, Level::High);
    EXPECT_EQ(GPIO_ReadInputDataBit(GPIOH, mask), 1) << pin;
    board.drivePin({'H', pin}, Level::Low);
    EXPECT_EQ(GPIO_ReadInputDataBit(GPIOH, mask), 0) << pin;
    GPIO_SetBits(GPIOH, mask);
    EXPECT_EQ(GPIO_ReadOutputDataBit(GPIOH, mask), 1) << pin;
    GPIO_ResetBits(GPIOH, mask);
    EXPECT_EQ(GPIO_ReadOutputDataBit(GPIOH, mask), 0) << pin;
  }
}

}  // namespace
