// Reset and clock control operations: clock frequencies, peripheral clocks and resets.
#pragma once

#include <cstdint>

#include "platform_types.h"

inline constexpr std::uint32_t HSE_VALUE = 12000000u;  // the board's crystal
inline constexpr std::uint32_t HSI_VALUE = 16000000u;

inline constexpr std::uint32_t RCC_AHBPeriph_GPIOA = 0x00000001u;
inline constexpr std::uint32_t RCC_AHBPeriph_GPIOB = 0x00000002u;
inline constexpr std::uint32_t RCC_AHBPeriph_GPIOC = 0x00000004u;
inline constexpr std::uint32_t RCC_AHBPeriph_GPIOD = 0x00000008u;
inline constexpr std::uint32_t RCC_AHBPeriph_GPIOE = 0x00000010u;
inline constexpr std::uint32_t RCC_AHBPeriph_GPIOH = 0x00000020u;
inline constexpr std::uint32_t RCC_AHBPeriph_FSMC = 0x40000000u;  // external memory controller
inline constexpr std::uint32_t RCC_APB2Periph_SYSCFG = 0x00000001u;
inline constexpr std::uint32_t RCC_APB2Periph_USART1 = 0x00004000u;
inline constexpr std::uint32_t RCC_APB1Periph_TIM2 = 0x00000001u;
inline constexpr std::uint32_t RCC_APB1Periph_USART3 = 0x00040000u;
inline constexpr std::uint32_t RCC_APB1Periph_I2C1 = 0x00200000u;
inline constexpr std::uint32_t RCC_APB1Periph_I2C2 = 0x00400000u;
inline constexpr std::uint32_t RCC_APB1Periph_PWR = 0x10000000u;

// The four frequencies in effect, computed from the clock registers.
void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks);
void RCC_AHBPeriphClockCmd(std::uint32_t RCC_AHBPeriph, FunctionalState NewState);
void RCC_APB1PeriphClockCmd(std::uint32_t RCC_APB1Periph, FunctionalState NewState);
void RCC_APB2PeriphClockCmd(std::uint32_t RCC_APB2Periph, FunctionalState NewState);
// ENABLE holds the peripherals in reset, DISABLE releases them.
void RCC_APB1PeriphResetCmd(std::uint32_t RCC_APB1Periph, FunctionalState NewState);
