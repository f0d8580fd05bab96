// Board configuration, the millisecond delay and the TIM2 tick, and the console sink.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform.h"

// The four clock frequencies, filled once by start-up right after RCC_Configuration.
extern RCC_ClocksTypeDef rcc_clocks;

// Board configuration, run once by start-up in this order.
void RCC_Configuration();
void GPIO_Configuration();
void NVIC_Configuration();
void EXTI_Configuration();
void USART1_Init_for_Debug();
void USART3_Init_for_Comm();

// Milliseconds still to wait in the current Delay; the SysTick handler counts it down.
extern volatile std::uint32_t TimingDelay;
void TimingDelay_Decrement();
// Busy-waits nTime milliseconds on the 1 ms tick (between nTime-1 and nTime).
void Delay(std::uint32_t nTime);
void delay_100_milli_second();
// TIM2 update interrupt every 0.9375 s (the actuator blink tick).
void TIM_Configuration();

// Console sink of printf: every character goes to USART1; "\n" leaves as CR LF.
extern "C" int fputc(int ch, FILE* f);
