// USART operations: frame format and baud rate, interrupts, data and flags.
#pragma once

#include <cstdint>

#include "platform_types.h"
#include "stm32l1_registers.h"

inline constexpr std::uint16_t USART_WordLength_8b = 0x0000;
inline constexpr std::uint16_t USART_StopBits_1 = 0x0000;
inline constexpr std::uint16_t USART_Parity_No = 0x0000;
inline constexpr std::uint16_t USART_Mode_Rx = 0x0004;
inline constexpr std::uint16_t USART_Mode_Tx = 0x0008;
inline constexpr std::uint16_t USART_HardwareFlowControl_None = 0x0000;

// Status flags (bit masks of SR).
inline constexpr std::uint16_t USART_FLAG_RXNE = 0x0020;
inline constexpr std::uint16_t USART_FLAG_TC = 0x0040;
inline constexpr std::uint16_t USART_FLAG_TXE = 0x0080;

// Interrupt source codes: bits 0-4 the enable bit's position, bits 5-7 the control
// register holding it (1: CR1, 2: CR2, 3: CR3), bits 8-15 the position of the
// status flag in SR.
inline constexpr std::uint16_t USART_IT_RXNE = 0x0525;

// Baud divisor from the bus clock in effect (PCLK2 for USART1, PCLK1 otherwise),
// 16-fold oversampling, rounded to the nearest sixteenth.
void USART_Init(USART_TypeDef* USARTx, USART_InitTypeDef* USART_InitStruct);
void USART_ITConfig(USART_TypeDef* USARTx, std::uint16_t USART_IT, FunctionalState NewState);
void USART_Cmd(USART_TypeDef* USARTx, FunctionalState NewState);
void USART_SendData(USART_TypeDef* USARTx, std::uint16_t Data);
std::uint16_t USART_ReceiveData(USART_TypeDef* USARTx);
FlagStatus USART_GetFlagStatus(USART_TypeDef* USARTx, std::uint16_t USART_FLAG);
ITStatus USART_GetITStatus(USART_TypeDef* USARTx, std::uint16_t USART_IT);
void USART_ClearITPendingBit(USART_TypeDef* USARTx, std::uint16_t USART_IT);
