// The clock set-up and the clock-dependent platform operations on the virtual
// board: frequencies with and without the crystal, running the set-up twice,
// and the baud and I2C timings derived from the clocks.
#include <gtest/gtest.h>

#include <vector>

#include "platform.h"
#include "sim/board.h"

namespace {

constexpr std::uint32_t kPllHz = 32'000'000;
constexpr std::uint32_t kMsiHz = 2'097'152;

sim::BoardConfig boardConfig(bool crystal) {
  sim::BoardConfig config;
  config.crystal = crystal;
  return config;
}

RCC_ClocksTypeDef clocksNow() {
  RCC_ClocksTypeDef clocks{};
  RCC_GetClocksFreq(&clocks);
  return clocks;
}

void expectAllClocks(std::uint32_t hz) {
  RCC_ClocksTypeDef clocks = clocksNow();
  EXPECT_EQ(clocks.SYSCLK_Frequency, hz);
  EXPECT_EQ(clocks.HCLK_Frequency, hz);
  EXPECT_EQ(clocks.PCLK1_Frequency, hz);
  EXPECT_EQ(clocks.PCLK2_Frequency, hz);
}

std::uint16_t consoleDivisorAt115200() {
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, ENABLE);
  USART_InitTypeDef settings{};
  settings.USART_BaudRate = 115200;
  settings.USART_WordLength = USART_WordLength_8b;
  settings.USART_StopBits = USART_StopBits_1;
  settings.USART_Parity = USART_Parity_No;
  settings.USART_Mode = USART_Mode_Rx | USART_Mode_Tx;
  settings.USART_HardwareFlowControl = USART_HardwareFlowControl_None;
  USART_Init(USART1, &settings);
  return USART1->BRR;
}

I2C_InitTypeDef sensorBusSettings(std::uint16_t ownAddress, std::uint32_t speed = 400000) {
  I2C_InitTypeDef settings{};
  settings.I2C_ClockSpeed = speed;
  settings.I2C_Mode = I2C_Mode_I2C;
  settings.I2C_DutyCycle = I2C_DutyCycle_2;
  settings.I2C_OwnAddress1 = ownAddress;
  settings.I2C_Ack = I2C_Ack_Enable;
  settings.I2C_AcknowledgedAddress = I2C_AcknowledgedAddress_7bit;
  return settings;
}

TEST(ClockSetUp, WithTheCrystalEverythingRunsAt32MHzFromThePll) {
  sim::Board board{boardConfig(true)};
  SystemInit();
  expectAllClocks(kPllHz);
  EXPECT_EQ(board.clock().coreHz(), kPllHz);
  EXPECT_EQ(board.flash().acr(), FLASH_ACR_ACC64 | FLASH_ACR_PRFTEN | FLASH_ACR_LATENCY);
  EXPECT_EQ(board.pwr().voltageRange(), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(SCB->VTOR), FLASH_BASE);
  EXPECT_EQ(consoleDivisorAt115200(), (17u << 4) | 6u);
}

TEST(ClockSetUp, WithoutTheCrystalStartUpGoesOnOnMsiAfterTheFullPollBudget) {
  sim::Board board{boardConfig(false)};
  std::uint64_t cyclesBefore = board.clock().cycles();
  SystemInit();
  // Each of the 0x5000 polls of the crystal's ready flag is at least one register read.
  EXPECT_GE(board.clock().cycles() - cyclesBefore, 0x5000u * sim::Board::kCyclesPerAccess);
  expectAllClocks(kMsiHz);
  EXPECT_EQ(board.clock().coreHz(), kMsiHz);
  EXPECT_EQ(static_cast<std::uint32_t>(SCB->VTOR), FLASH_BASE);
  EXPECT_EQ(consoleDivisorAt115200(), (1u << 4) | 2u);
}

TEST(ClockSetUp, RunningItAgainGoesBackThroughMsiAndReturnsToThePll) {
  sim::Board board{boardConfig(true)};
  SystemInit();
  std::vector<std::uint32_t> coreClocks;
  board.clock().onClockChange([&] { coreClocks.push_back(board.clock().coreHz()); });
  SystemInit();
  EXPECT_EQ(coreClocks, (std::vector<std::uint32_t>{kMsiHz, kPllHz}));
  expectAllClocks(kPllHz);
  EXPECT_EQ(RCC->CR & (RCC_CR_HSEON | RCC_CR_PLLON), RCC_CR_HSEON | RCC_CR_PLLON);
}

class SensorBuses : public ::testing::Test {
 protected:
  SensorBuses() {
    SystemInit();
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_I2C1 | RCC_APB1Periph_I2C2, ENABLE);
  }
  sim::Board board{boardConfig(true)};
};

TEST_F(SensorBuses, FastModeAt32MHzGivesTheBoardsBusTiming) {
  I2C_InitTypeDef settings = sensorBusSettings(0x28);
  I2C_Init(I2C1, &settings);
  settings.I2C_OwnAddress1 = 0x30;
  I2C_Init(I2C2, &settings);
  for (I2C_TypeDef* bus : {I2C1, I2C2}) {
    EXPECT_EQ(bus->CR2 & I2C_CR2_FREQ, 32u);
    EXPECT_EQ(bus->CCR, 0x801Au);
    EXPECT_EQ(bus->TRISE, 10u);
    EXPECT_EQ(bus->CR1, I2C_CR1_ACK | I2C_CR1_PE);
  }
  EXPECT_EQ(I2C1->OAR1, 0x4028u);
  EXPECT_EQ(I2C2->OAR1, 0x4030u);
}

TEST_F(SensorBuses, ReinitialisingARunningPeripheralTakesTheNewTimingAndKeepsItsInterruptEnables) {
  I2C_InitTypeDef settings = sensorBusSettings(0x28);
  I2C_Init(I2C1, &settings);
  I2C1->CR2 = static_cast<std::uint16_t>(I2C1->CR2 | I2C_CR2_ITERREN);
  settings = sensorBusSettings(0x28, 100000);  // standard mode
  I2C_Init(I2C1, &settings);
  EXPECT_EQ(I2C1->CCR, 160u);
  EXPECT_EQ(I2C1->TRISE, 33u);
  EXPECT_EQ(I2C1->CR2, I2C_CR2_ITERREN | 32u);
  EXPECT_EQ(I2C1->CR1 & I2C_CR1_PE, I2C_CR1_PE);
}

TEST_F(SensorBuses, EnableStopAndResetPulseActOnTheControlRegister) {
  I2C_InitTypeDef settings = sensorBusSettings(0x28);
  I2C_Init(I2C1, &settings);
  I2C_Init(I2C2, &settings);
  I2C_GenerateSTOP(I2C1, ENABLE);
  EXPECT_EQ(I2C1->CR1 & I2C_CR1_STOP, I2C_CR1_STOP);
  I2C_GenerateSTOP(I2C1, DISABLE);
  I2C_Cmd(I2C1, DISABLE);
  EXPECT_EQ(I2C1->CR1, I2C_CR1_ACK);
  I2C_Cmd(I2C1, ENABLE);

  RCC_APB1PeriphResetCmd(RCC_APB1Periph_I2C1, ENABLE);
  RCC_APB1PeriphResetCmd(RCC_APB1Periph_I2C1, DISABLE);
  EXPECT_EQ(I2C1->CR1, 0u);
  EXPECT_EQ(I2C1->CCR, 0u);
  EXPECT_EQ(I2C1->TRISE, 2u);
  EXPECT_EQ(I2C2->CCR, 0x801Au);  // the other bus keeps its set-up
}

}  // namespace
