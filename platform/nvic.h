// Interrupt controller and core tick timer operations.
#pragma once

#include <cstdint>

#include "platform_types.h"

inline constexpr std::uint32_t NVIC_VectTab_FLASH = 0x08000000u;
inline constexpr std::uint32_t NVIC_PriorityGroup_2 = 0x500u;  // 2 bits pre-emption, 2 bits sub

void NVIC_SetVectorTable(std::uint32_t NVIC_VectTab, std::uint32_t Offset);
// Splits the 4 priority bits into pre-emption and sub-priority (code 0x300..0x700).
void NVIC_PriorityGroupConfig(std::uint32_t NVIC_PriorityGroup);
// ENABLE: priority under the current grouping, then enable; DISABLE: disable.
void NVIC_Init(NVIC_InitTypeDef* NVIC_InitStruct);
// Raw 4-bit priority, no grouping; a negative number addresses a core exception.
void NVIC_SetPriority(IRQn_Type IRQn, std::uint32_t priority);
void NVIC_EnableIRQ(IRQn_Type IRQn);
// Starts the core tick: interrupt every `ticks` core clock cycles at priority 15.
// Returns 1 and changes nothing when ticks is 0 or above 16,777,216.
std::uint32_t SysTick_Config(std::uint32_t ticks);
