// Parameter records and small enumerations of the platform operations, and the
// interrupt numbers of the STM32L1 medium-density chip.
#pragma once

#include <cstdint>

enum FunctionalState : std::uint8_t { DISABLE = 0, ENABLE = 1 };
enum FlagStatus : std::uint8_t { RESET = 0, SET = 1 };
using ITStatus = FlagStatus;
enum BitAction : std::uint8_t { Bit_RESET = 0, Bit_SET = 1 };

// Exception and interrupt numbers: negative for core exceptions, 0..44 for the
// chip's interrupt lines (vector slot = 16 + number).
enum IRQn_Type : std::int8_t {
  NonMaskableInt_IRQn = -14,
  HardFault_IRQn = -13,
  MemoryManagement_IRQn = -12,
  BusFault_IRQn = -11,
  UsageFault_IRQn = -10,
  SVCall_IRQn = -5,
  DebugMonitor_IRQn = -4,
  PendSV_IRQn = -2,
  SysTick_IRQn = -1,
  WWDG_IRQn = 0,
  PVD_IRQn = 1,
  TAMPER_STAMP_IRQn = 2,
  RTC_WKUP_IRQn = 3,
  FLASH_IRQn = 4,
  RCC_IRQn = 5,
  EXTI0_IRQn = 6,
  EXTI1_IRQn = 7,
  EXTI2_IRQn = 8,
  EXTI3_IRQn = 9,
  EXTI4_IRQn = 10,
  DMA1_Channel1_IRQn = 11,
  DMA1_Channel2_IRQn = 12,
  DMA1_Channel3_IRQn = 13,
  DMA1_Channel4_IRQn = 14,
  DMA1_Channel5_IRQn = 15,
  DMA1_Channel6_IRQn = 16,
  DMA1_Channel7_IRQn = 17,
  ADC1_IRQn = 18,
  USB_HP_IRQn = 19,
  USB_LP_IRQn = 20,
  DAC_IRQn = 21,
  COMP_IRQn = 22,
  EXTI9_5_IRQn = 23,
  LCD_IRQn = 24,
  TIM9_IRQn = 25,
  TIM10_IRQn = 26,
  TIM11_IRQn = 27,
  TIM2_IRQn = 28,
  TIM3_IRQn = 29,
  TIM4_IRQn = 30,
  I2C1_EV_IRQn = 31,
  I2C1_ER_IRQn = 32,
  I2C2_EV_IRQn = 33,
  I2C2_ER_IRQn = 34,
  SPI1_IRQn = 35,
  SPI2_IRQn = 36,
  USART1_IRQn = 37,
  USART2_IRQn = 38,
  USART3_IRQn = 39,
  EXTI15_10_IRQn = 40,
  RTC_Alarm_IRQn = 41,
  USB_FS_WKUP_IRQn = 42,
  TIM6_IRQn = 43,
  TIM7_IRQn = 44,
};
inline constexpr int kDeviceIrqCount = 45;

// ---------------------------------------------------------------- RCC
struct RCC_ClocksTypeDef {
  std::uint32_t SYSCLK_Frequency;
  std::uint32_t HCLK_Frequency;
  std::uint32_t PCLK1_Frequency;
  std::uint32_t PCLK2_Frequency;
};

// ---------------------------------------------------------------- GPIO
enum GPIOMode_TypeDef : std::uint8_t { GPIO_Mode_IN = 0, GPIO_Mode_OUT = 1, GPIO_Mode_AF = 2, GPIO_Mode_AN = 3 };
enum GPIOSpeed_TypeDef : std::uint8_t {
  GPIO_Speed_400KHz = 0,
  GPIO_Speed_2MHz = 1,
  GPIO_Speed_10MHz = 2,
  GPIO_Speed_40MHz = 3,
};
enum GPIOOType_TypeDef : std::uint8_t { GPIO_OType_PP = 0, GPIO_OType_OD = 1 };
enum GPIOPuPd_TypeDef : std::uint8_t { GPIO_PuPd_NOPULL = 0, GPIO_PuPd_UP = 1, GPIO_PuPd_DOWN = 2 };

struct GPIO_InitTypeDef {
  std::uint32_t GPIO_Pin;  // bit n = pin n
  GPIOMode_TypeDef GPIO_Mode;
  GPIOSpeed_TypeDef GPIO_Speed;
  GPIOOType_TypeDef GPIO_OType;
  GPIOPuPd_TypeDef GPIO_PuPd;
};

// ---------------------------------------------------------------- USART
struct USART_InitTypeDef {
  std::uint32_t USART_BaudRate;
  std::uint16_t USART_WordLength;
  std::uint16_t USART_StopBits;
  std::uint16_t USART_Parity;
  std::uint16_t USART_Mode;
  std::uint16_t USART_HardwareFlowControl;
};

// ---------------------------------------------------------------- NVIC
struct NVIC_InitTypeDef {
  std::uint8_t NVIC_IRQChannel;
  std::uint8_t NVIC_IRQChannelPreemptionPriority;
  std::uint8_t NVIC_IRQChannelSubPriority;
  FunctionalState NVIC_IRQChannelCmd;
};

// ---------------------------------------------------------------- TIM
struct TIM_TimeBaseInitTypeDef {
  std::uint16_t TIM_Prescaler;
  std::uint16_t TIM_CounterMode;
  std::uint32_t TIM_Period;
  std::uint16_t TIM_ClockDivision;
};

// ---------------------------------------------------------------- I2C
struct I2C_InitTypeDef {
  std::uint32_t I2C_ClockSpeed;
  std::uint16_t I2C_Mode;
  std::uint16_t I2C_DutyCycle;
  std::uint16_t I2C_OwnAddress1;
  std::uint16_t I2C_Ack;
  std::uint16_t I2C_AcknowledgedAddress;
};
