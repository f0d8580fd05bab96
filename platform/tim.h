// General-purpose timer operations: time base, start/stop, update interrupt.
#pragma once

#include <cstdint>

#include "platform_types.h"
#include "stm32l1_registers.h"

inline constexpr std::uint16_t TIM_CounterMode_Up = 0x0000;
inline constexpr std::uint16_t TIM_CKD_DIV1 = 0x0000;
inline constexpr std::uint16_t TIM_PSCReloadMode_Update = 0x0000;
inline constexpr std::uint16_t TIM_PSCReloadMode_Immediate = 0x0001;
inline constexpr std::uint16_t TIM_IT_Update = 0x0001;
inline constexpr std::uint16_t TIM_FLAG_Update = 0x0001;

// Counting mode, clock division, auto-reload and prescaler; the prescaler takes
// effect at once through an update event.
void TIM_TimeBaseInit(TIM_TypeDef* TIMx, TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct);
void TIM_PrescalerConfig(TIM_TypeDef* TIMx, std::uint16_t Prescaler, std::uint16_t TIM_PSCReloadMode);
void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState);
void TIM_ITConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_IT, FunctionalState NewState);
void TIM_ClearFlag(TIM_TypeDef* TIMx, std::uint16_t TIM_FLAG);
void TIM_ClearITPendingBit(TIM_TypeDef* TIMx, std::uint16_t TIM_IT);
