// Sending to the ZigBee module on USART3.
#pragma once

#include <cstdint>

// Writes one byte, unchanged, and waits until the transmit data register is free again.
void UartComm_SendData_OneChar(std::uint8_t ch);
