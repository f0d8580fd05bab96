// General-purpose timer operations, at register level.
#include "tim.h"

void TIM_TimeBaseInit(TIM_TypeDef* TIMx, TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct) {
  std::uint16_t cr1 = TIMx->CR1;
  cr1 = static_cast<std::uint16_t>(cr1 & ~(TIM_CR1_DIR | TIM_CR1_CMS | TIM_CR1_CKD));
  cr1 = static_cast<std::uint16_t>(cr1 | TIM_TimeBaseInitStruct->TIM_CounterMode |
                                   TIM_TimeBaseInitStruct->TIM_ClockDivision);
  TIMx->CR1 = cr1;
  TIMx->ARR = static_cast<std::uint16_t>(TIM_TimeBaseInitStruct->TIM_Period);
  TIMx->PSC = TIM_TimeBaseInitStruct->TIM_Prescaler;
  // The prescaler register is a preload: an update event puts it in force now.
  TIMx->EGR = TIM_EGR_UG;
}

void TIM_PrescalerConfig(TIM_TypeDef* TIMx, std::uint16_t Prescaler, std::uint16_t TIM_PSCReloadMode) {
  TIMx->PSC = Prescaler;
  // Immediate mode (1) is the UG bit: update event, count restarts, UIF set.
  TIMx->EGR = TIM_PSCReloadMode;
}

void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    TIMx->CR1 |= TIM_CR1_CEN;
  } else {
    TIMx->CR1 &= static_cast<std::uint16_t>(~TIM_CR1_CEN);
  }
}

void TIM_ITConfig(TIM_TypeDef* TIMx, std::uint16_t TIM_IT, FunctionalState NewState) {
  if (NewState != DISABLE) {
    TIMx->DIER |= TIM_IT;
  } else {
    TIMx->DIER &= static_cast<std::uint16_t>(~TIM_IT);
  }
}

// Status flags clear on writing 0; writing 1 leaves a flag as it is, so one write
// clears exactly the flags in the mask.
void TIM_ClearFlag(TIM_TypeDef* TIMx, std::uint16_t TIM_FLAG) { TIMx->SR = static_cast<std::uint16_t>(~TIM_FLAG); }

void TIM_ClearITPendingBit(TIM_TypeDef* TIMx, std::uint16_t TIM_IT) { TIMx->SR = static_cast<std::uint16_t>(~TIM_IT); }
