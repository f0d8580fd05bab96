// Exception and interrupt handlers.
#include "stm32l1xx_it.h"

#include "hw_config.h"
#include "platform.h"
#include "test_actuator.h"
#include "uart_queue.h"

// A fault freezes the board with no message: nothing can be trusted any more,
// and the endless loop also keeps every interrupt handler from running.
void HardFault_Handler(void) { Platform_Halt("HardFault_Handler"); }
void MemManage_Handler(void) { Platform_Halt("MemManage_Handler"); }
void BusFault_Handler(void) { Platform_Halt("BusFault_Handler"); }
void UsageFault_Handler(void) { Platform_Halt("UsageFault_Handler"); }

// Never raised by this firmware; return at once if they ever are.
void NMI_Handler(void) {}
void SVC_Handler(void) {}
void DebugMon_Handler(void) {}
void PendSV_Handler(void) {}

// 1 ms tick: counts the running Delay down, nothing else, so that a thousand
// interrupts a second steal almost no time.
void SysTick_Handler(void) { TimingDelay_Decrement(); }

// Blink tick, every 0.9375 s: inverts every actuator output whose blink flag is
// set. The update interrupt is the only TIM2 source enabled.
void TIM2_IRQHandler(void) {
  TIM_ClearITPendingBit(TIM2, TIM_IT_Update);
  Actuator_Blink_Tick();
}

// One received byte per entry; a byte arriving meanwhile raises the interrupt again.
void USART1_IRQHandler(void) {
  if (USART_GetITStatus(USART1, USART_IT_RXNE) != SET) return;
  USART_ClearITPendingBit(USART1, USART_IT_RXNE);
  UartQueue_Serial_EnQueue(USART_ReceiveData(USART1));
}

void USART3_IRQHandler(void) {
  if (USART_GetITStatus(USART3, USART_IT_RXNE) != SET) return;
  USART_ClearITPendingBit(USART3, USART_IT_RXNE);
  UartQueue_Comm_EnQueue(USART_ReceiveData(USART3));
}
