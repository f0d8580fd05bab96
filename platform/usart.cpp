#include "usart.h"

#include "rcc.h"

namespace {

constexpr std::uint16_t kCr1FrameAndDirections =
    USART_CR1_M | USART_CR1_PCE | USART_CR1_PS | USART_CR1_TE | USART_CR1_RE;
constexpr std::uint16_t kCr3FlowControl = USART_CR3_RTSE | USART_CR3_CTSE;

// The control register that holds the enable bit of an interrupt source code
// (bits 5-7: 1 CR1, 2 CR2, 3 CR3); nullptr for any other number.
IoReg<std::uint16_t>* enableRegister(USART_TypeDef* USARTx, std::uint16_t USART_IT) {
  switch ((USART_IT >> 5) & 7u) {
    case 1:
      return &USARTx->CR1;
    case 2:
      return &USARTx->CR2;
    case 3:
      return &USARTx->CR3;
    default:
      return nullptr;
  }
}

std::uint16_t enableBit(std::uint16_t USART_IT) { return static_cast<std::uint16_t>(1u << (USART_IT & 0x1Fu)); }

std::uint16_t statusBit(std::uint16_t USART_IT) { return static_cast<std::uint16_t>(1u << ((USART_IT >> 8) & 0x0Fu)); }

}  // namespace

void USART_Init(USART_TypeDef* USARTx, USART_InitTypeDef* USART_InitStruct) {
  USARTx->CR2 =
      static_cast<std::uint16_t>((USARTx->CR2 & ~USART_CR2_STOP) | (USART_InitStruct->USART_StopBits & USART_CR2_STOP));

  USARTx->CR1 = static_cast<std::uint16_t>(
      (USARTx->CR1 & ~kCr1FrameAndDirections) |
      ((USART_InitStruct->USART_WordLength | USART_InitStruct->USART_Parity | USART_InitStruct->USART_Mode) &
       kCr1FrameAndDirections));

  USARTx->CR3 = static_cast<std::uint16_t>((USARTx->CR3 & ~kCr3FlowControl) |
                                           (USART_InitStruct->USART_HardwareFlowControl & kCr3FlowControl));

  // Divisor from the bus clock running now: USART1 sits on APB2, the others on APB1.
  RCC_ClocksTypeDef clocks;
  RCC_GetClocksFreq(&clocks);
  const std::uint32_t fck = USARTx == USART1 ? clocks.PCLK2_Frequency : clocks.PCLK1_Frequency;
  const std::uint32_t baud = USART_InitStruct->USART_BaudRate;
  if (baud == 0) return;
  // fck / baud is the divisor in sixteenths of a bus cycle with 16-fold
  // oversampling (eighths with 8-fold); round it to the nearest step.
  const std::uint32_t steps = (fck + baud / 2) / baud;
  std::uint32_t brr = steps;
  if ((USARTx->CR1 & USART_CR1_OVER8) != 0) brr = ((steps >> 3) << 4) | (steps & 7u);
  USARTx->BRR = static_cast<std::uint16_t>(brr);
}

void USART_ITConfig(USART_TypeDef* USARTx, std::uint16_t USART_IT, FunctionalState NewState) {
  IoReg<std::uint16_t>* reg = enableRegister(USARTx, USART_IT);
  if (reg == nullptr) return;
  if (NewState != DISABLE) {
    *reg |= enableBit(USART_IT);
  } else {
    *reg &= static_cast<std::uint16_t>(~enableBit(USART_IT));
  }
}

void USART_Cmd(USART_TypeDef* USARTx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    USARTx->CR1 |= USART_CR1_UE;
  } else {
    USARTx->CR1 &= static_cast<std::uint16_t>(~USART_CR1_UE);
  }
}

void USART_SendData(USART_TypeDef* USARTx, std::uint16_t Data) {
  USARTx->DR = static_cast<std::uint16_t>(Data & 0x1FFu);
}

std::uint16_t USART_ReceiveData(USART_TypeDef* USARTx) { return static_cast<std::uint16_t>(USARTx->DR & 0x1FFu); }

FlagStatus USART_GetFlagStatus(USART_TypeDef* USARTx, std::uint16_t USART_FLAG) {
  return (USARTx->SR & USART_FLAG) != 0 ? SET : RESET;
}

ITStatus USART_GetITStatus(USART_TypeDef* USARTx, std::uint16_t USART_IT) {
  IoReg<std::uint16_t>* reg = enableRegister(USARTx, USART_IT);
  if (reg == nullptr) return RESET;
  const bool enabled = (*reg & enableBit(USART_IT)) != 0;
  const bool pending = (USARTx->SR & statusBit(USART_IT)) != 0;
  return enabled && pending ? SET : RESET;
}

void USART_ClearITPendingBit(USART_TypeDef* USARTx, std::uint16_t USART_IT) {
  USARTx->SR = static_cast<std::uint16_t>(~statusBit(USART_IT));
}
