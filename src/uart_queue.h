// Receive queues of the two serial ports, filled by their receive interrupts:
// the comm queue (ZigBee module, USART3) and the serial queue (console, USART1).
//
// One producer (the port's receive handler, which writes the slot and then the
// head) and one consumer (the main loop, which reads the slot and then moves the
// tail); head and tail are whole 32-bit words. No lock is needed.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t UART_QUEUE_SIZE = 3000;

extern volatile std::uint16_t uart_queue_comm_buffer[UART_QUEUE_SIZE];
extern volatile std::uint32_t uart_queue_comm_point_head;
extern volatile std::uint32_t uart_queue_comm_point_tail;
extern volatile std::uint16_t uart_queue_serial_buffer[UART_QUEUE_SIZE];
extern volatile std::uint32_t uart_queue_serial_point_head;
extern volatile std::uint32_t uart_queue_serial_point_tail;
// Entries dropped because their queue already held UART_QUEUE_SIZE - 1 unread ones.
extern volatile std::uint32_t uart_queue_comm_dropped;
extern volatile std::uint32_t uart_queue_serial_dropped;

void uart_queue_increase_point_value(volatile std::uint32_t* data_p);

void UartQueue_Comm_Initialize();
bool UartQueue_Comm_Is_Empty();
void UartQueue_Comm_EnQueue(std::uint16_t data);
std::uint16_t UartQueue_Comm_DeQueue();

bool UartQueue_Serial_Is_Empty();
void UartQueue_Serial_EnQueue(std::uint16_t data);
std::uint16_t UartQueue_Serial_DeQueue();
