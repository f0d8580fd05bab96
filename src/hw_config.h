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

// Configures `pins` of `port` alike: mode, output type and pull, at 40 MHz speed.
void GPIO_Configure_Pins(GPIO_TypeDef* port, std::uint16_t pins, GPIOMode_TypeDef mode, GPIOOType_TypeDef otype,
                         GPIOPuPd_TypeDef pull);

// Polls of the transmit-data-register-empty flag before a transmitter is taken
// for dead: over 20 ms at the board's clock, while a character takes 87 us.
inline constexpr std::uint32_t SERIAL_TX_POLL_BUDGET = 0x10000;
// Waits until the port can take the next byte; false when it never could (port
// off or unclocked), so that a dead port cannot hang the board.
bool Serial_Wait_TxEmpty(USART_TypeDef* USARTx);

// Console sink of printf: every character goes to USART1; "\n" leaves as CR LF.
extern "C" int fputc(int ch, FILE* f);
