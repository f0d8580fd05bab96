#include "uart_comm.h"

#include "hw_config.h"
#include "platform.h"

void UartComm_SendData_OneChar(std::uint8_t ch) {
  USART_SendData(USART3, ch);
  // When this returns the byte is still being shifted out; the next call finds
  // the data register free.
  (void)Serial_Wait_TxEmpty(USART3);
}
