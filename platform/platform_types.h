// Parameter records and small enumerations of the platform operations, and the
// interrupt numbers of the STM32L1 medium-density chip.
#pragma once

#include <cstdint>

#include "vectors.h"

enum FunctionalState : std::uint8_t { DISABLE = 0, ENABLE = 1 };
enum FlagStatus : std::uint8_t { RESET = 0, SET = 1 };
using ITStatus = FlagStatus;
enum BitAction : std::uint8_t { Bit_RESET = 0, Bit_SET = 1 };

// Exception and interrupt numbers: negative for core exceptions, 0..44 for the
// chip's interrupt lines (vector slot = 16 + number), from the vector list.
enum IRQn_Type : std::int8_t {
#define TL500_CORE_IRQN(number, irqn, name, handler) irqn##_IRQn = (number)-16,
  TL500_CORE_EXCEPTIONS(TL500_CORE_IRQN)
#undef TL500_CORE_IRQN
#define TL500_DEVICE_IRQN(line, name) name##_IRQn = (line),
  TL500_DEVICE_INTERRUPTS(TL500_DEVICE_IRQN)
#undef TL500_DEVICE_IRQN
};
inline constexpr int kDeviceIrqCount = TL500_DEVICE_INTERRUPT_COUNT;

namespace vector_list_check {
// The interrupt lines are listed in order from 0 with none left out: each
// one's number is its place in the list.
inline constexpr int kLines[] = {
#define TL500_DEVICE_LINE(line, name) (line),
    TL500_DEVICE_INTERRUPTS(TL500_DEVICE_LINE)
#undef TL500_DEVICE_LINE
};
constexpr bool LinesInOrder() {
  for (int i = 0; i < kDeviceIrqCount; ++i) {
    if (kLines[i] != i) return false;
  }
  return true;
}
static_assert(sizeof(kLines) / sizeof(kLines[0]) == kDeviceIrqCount, "interrupt line count");
static_assert(LinesInOrder(), "interrupt lines out of order");
}  // namespace vector_list_check

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
