// I2C peripheral operations: bus timing, enable, STOP request, and the bit
// set and clear of the control and status registers the transfers work with.
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

// Read-modify-write of CR1 and CR2: one read, one write, as the transfers and
// their handlers have always done it.
inline void I2C_Set_CR1(I2C_TypeDef* I2Cx, std::uint16_t bits) {
  I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 | bits);
}
inline void I2C_Clear_CR1(I2C_TypeDef* I2Cx, std::uint16_t bits) {
  I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 & ~bits);
}
inline void I2C_Set_CR2(I2C_TypeDef* I2Cx, std::uint16_t bits) {
  I2Cx->CR2 = static_cast<std::uint16_t>(I2Cx->CR2 | bits);
}
inline void I2C_Clear_CR2(I2C_TypeDef* I2Cx, std::uint16_t bits) {
  I2Cx->CR2 = static_cast<std::uint16_t>(I2Cx->CR2 & ~bits);
}
// The error flags of SR1 are cleared by writing 0 to them: SR1 read, the flag
// dropped, the rest written back (a 1 leaves a flag as it is).
inline void I2C_Clear_SR1_Flag(I2C_TypeDef* I2Cx, std::uint16_t flag) {
  I2Cx->SR1 = static_cast<std::uint16_t>(I2Cx->SR1 & ~flag);
}
