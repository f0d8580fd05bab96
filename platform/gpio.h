// GPIO port operations: pin configuration, output latches and input levels.
#pragma once

#include <cstdint>

#include "platform_types.h"
#include "stm32l1_registers.h"

// Pin masks: bit n = pin n.
inline constexpr std::uint16_t GPIO_Pin_0 = 0x0001;
inline constexpr std::uint16_t GPIO_Pin_1 = 0x0002;
inline constexpr std::uint16_t GPIO_Pin_2 = 0x0004;
inline constexpr std::uint16_t GPIO_Pin_3 = 0x0008;
inline constexpr std::uint16_t GPIO_Pin_4 = 0x0010;
inline constexpr std::uint16_t GPIO_Pin_5 = 0x0020;
inline constexpr std::uint16_t GPIO_Pin_6 = 0x0040;
inline constexpr std::uint16_t GPIO_Pin_7 = 0x0080;
inline constexpr std::uint16_t GPIO_Pin_8 = 0x0100;
inline constexpr std::uint16_t GPIO_Pin_9 = 0x0200;
inline constexpr std::uint16_t GPIO_Pin_10 = 0x0400;
inline constexpr std::uint16_t GPIO_Pin_11 = 0x0800;
inline constexpr std::uint16_t GPIO_Pin_12 = 0x1000;
inline constexpr std::uint16_t GPIO_Pin_13 = 0x2000;
inline constexpr std::uint16_t GPIO_Pin_14 = 0x4000;
inline constexpr std::uint16_t GPIO_Pin_15 = 0x8000;

// Alternate functions used on this board.
inline constexpr std::uint8_t GPIO_AF_I2C1 = 4;
inline constexpr std::uint8_t GPIO_AF_I2C2 = 4;
inline constexpr std::uint8_t GPIO_AF_USART1 = 7;
inline constexpr std::uint8_t GPIO_AF_USART3 = 7;

// For every pin in GPIO_Pin: mode; for output and alternate-function modes also speed
// and output type; for every mode the pull. Other pins and the output latch are untouched.
void GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_InitStruct);
// Alternate function 0..15 for one pin (GPIO_PinSource 0..15).
void GPIO_PinAFConfig(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_PinSource, std::uint8_t GPIO_AF);
void GPIO_SetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
void GPIO_ResetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
void GPIO_WriteBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin, BitAction BitVal);
// 1 if the pin's sampled input level is high, else 0.
std::uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
// 1 if the pin's output latch is set, else 0.
std::uint8_t GPIO_ReadOutputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin);
