// A virtual board brought up by the firmware's own board configuration, as
// start-up does before the main menu: clocks, pins, interrupt controller, both
// serial ports and the 1 ms tick. Firmware globals shared between tests are
// reset first.
#pragma once

#include "hw_config.h"
#include "platform.h"
#include "sim/board.h"
#include "sim/host/firmware_vectors.h"
#include "uart_queue.h"

// Both receive queues empty, nothing dropped: as after reset.
inline void EmptyReceiveQueues() {
  uart_queue_comm_point_head = 0;
  uart_queue_comm_point_tail = 0;
  uart_queue_serial_point_head = 0;
  uart_queue_serial_point_tail = 0;
  uart_queue_comm_dropped = 0;
  uart_queue_serial_dropped = 0;
}

struct FirmwareBoard {
  explicit FirmwareBoard(bool crystal = true)
      : board(sim::BoardConfig{.crystal = crystal, .timing = {}, .vectors = sim::firmwareVectors()}) {
    TimingDelay = 0;
    EmptyReceiveQueues();
    RCC_Configuration();
    RCC_GetClocksFreq(&rcc_clocks);
    GPIO_Configuration();
    NVIC_Configuration();
    USART1_Init_for_Debug();
    USART3_Init_for_Comm();
    SysTick_Config(rcc_clocks.SYSCLK_Frequency / 1000);
  }

  bool lit(const char* pin) { return board.pinLevel(*sim::parsePin(pin)) == sim::Level::Low; }
  sim::Time now() { return board.clock().now(); }

  sim::Board board;
};
