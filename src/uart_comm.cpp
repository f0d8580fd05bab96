#include "uart_comm.h"

#include "platform.h"

void UartComm_SendData_OneChar(std::uint8_t ch) {
  USART_SendData(USART3, ch);
  // When this returns the byte is still being shifted out; the next call finds
  // the data register free.
  while (USART_GetFlagStatus(USART3, USART_FLAG_TXE) == RESET) {
  }
}
