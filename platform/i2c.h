// I2C peripheral operations: bus timing, enable, STOP request.
#pragma once

#include <cstdint>

#include "platform_types.h"
#include "stm32l1_registers.h"

inline constexpr std::uint16_t I2C_Mode_I2C = 0x0000;
inline constexpr std::uint16_t I2C_DutyCycle_2 = 0xBFFF;     // fast mode low/high = 2
inline constexpr std::uint16_t I2C_DutyCycle_16_9 = 0x4000;  // fast mode low/high = 16/9
inline constexpr std::uint16_t I2C_Ack_Enable = 0x0400;
inline constexpr std::uint16_t I2C_AcknowledgedAddress_7bit = 0x4000;

// Mode, own address, acknowledge, addressing and bus timing from PCLK1 in effect.
void I2C_Init(I2C_TypeDef* I2Cx, I2C_InitTypeDef* I2C_InitStruct);
void I2C_Cmd(I2C_TypeDef* I2Cx, FunctionalState NewState);
void I2C_GenerateSTOP(I2C_TypeDef* I2Cx, FunctionalState NewState);
