#include "uart_queue.h"

volatile std::uint16_t uart_queue_comm_buffer[UART_QUEUE_SIZE];
volatile std::uint32_t uart_queue_comm_point_head;
volatile std::uint32_t uart_queue_comm_point_tail;
volatile std::uint16_t uart_queue_serial_buffer[UART_QUEUE_SIZE];
volatile std::uint32_t uart_queue_serial_point_head;
volatile std::uint32_t uart_queue_serial_point_tail;
volatile std::uint32_t uart_queue_comm_dropped;
volatile std::uint32_t uart_queue_serial_dropped;

void uart_queue_increase_point_value(volatile std::uint32_t* data_p) {
  std::uint32_t next = *data_p + 1;
  if (next == UART_QUEUE_SIZE) next = 0;
  *data_p = next;
}

namespace {

// The producer's side, run by a receive handler. A queue holding
// UART_QUEUE_SIZE - 1 unread entries is full: moving the head onto the tail
// would make it look empty and lose all of them, so the new entry is dropped
// and counted instead; nothing already queued is disturbed.
void enqueue(volatile std::uint16_t* buffer, volatile std::uint32_t& head, const volatile std::uint32_t& tail,
             volatile std::uint32_t& dropped, std::uint16_t data) {
  std::uint32_t slot = head;
  std::uint32_t next = slot + 1 == UART_QUEUE_SIZE ? 0 : slot + 1;
  if (next == tail) {
    dropped = dropped + 1;
    return;
  }
  buffer[slot] = data;  // the slot is written before the head moves past it
  uart_queue_increase_point_value(&head);
}

// The consumer's side, run by the main loop; the caller has checked for an entry.
std::uint16_t dequeue(const volatile std::uint16_t* buffer, volatile std::uint32_t& tail) {
  std::uint16_t retVal = buffer[tail];  // the slot is read before the tail moves past it
  uart_queue_increase_point_value(&tail);
  return retVal;
}

}  // namespace

void UartQueue_Comm_Initialize() {
  uart_queue_comm_point_tail = 0;
  uart_queue_comm_point_head = uart_queue_comm_point_tail;
}

bool UartQueue_Comm_Is_Empty() { return uart_queue_comm_point_head == uart_queue_comm_point_tail; }

void UartQueue_Comm_EnQueue(std::uint16_t data) {
  enqueue(uart_queue_comm_buffer, uart_queue_comm_point_head, uart_queue_comm_point_tail, uart_queue_comm_dropped,
          data);
}

std::uint16_t UartQueue_Comm_DeQueue() { return dequeue(uart_queue_comm_buffer, uart_queue_comm_point_tail); }

bool UartQueue_Serial_Is_Empty() { return uart_queue_serial_point_head == uart_queue_serial_point_tail; }

void UartQueue_Serial_EnQueue(std::uint16_t data) {
  enqueue(uart_queue_serial_buffer, uart_queue_serial_point_head, uart_queue_serial_point_tail,
          uart_queue_serial_dropped, data);
}

std::uint16_t UartQueue_Serial_DeQueue() { return dequeue(uart_queue_serial_buffer, uart_queue_serial_point_tail); }
