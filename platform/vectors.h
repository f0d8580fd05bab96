/*
 * The exception and interrupt vectors of the STM32L1 medium-density chip, in
 * one list. The board's vector table and weak default handlers, the interrupt
 * numbers (IRQn_Type), the host's vector table and the emulated core's names
 * of the exceptions are all made from it. Plain macros: C and C++ include it.
 *
 * Vector slot 0 holds the initial stack pointer and slot 1 the reset handler;
 * those two have no entry here.
 */
#ifndef TL500_PLATFORM_VECTORS_H
#define TL500_PLATFORM_VECTORS_H

/* Core exceptions with a handler slot:
   X(exception number = vector slot, interrupt-number name, name, handler).
   The interrupt number is the exception number less 16. Slots 7-10 and 13
   are reserved. */
#define TL500_CORE_EXCEPTIONS(X)                         \
  X(2, NonMaskableInt, "NMI", NMI_Handler)               \
  X(3, HardFault, "HardFault", HardFault_Handler)        \
  X(4, MemoryManagement, "MemManage", MemManage_Handler) \
  X(5, BusFault, "BusFault", BusFault_Handler)           \
  X(6, UsageFault, "UsageFault", UsageFault_Handler)     \
  X(11, SVCall, "SVCall", SVC_Handler)                   \
  X(12, DebugMonitor, "DebugMonitor", DebugMon_Handler)  \
  X(14, PendSV, "PendSV", PendSV_Handler)                \
  X(15, SysTick, "SysTick", SysTick_Handler)

/* The chip's interrupt lines, numbered from 0 in order:
   X(line, name) stands for name_IRQn = line, the handler name_IRQHandler in
   vector slot 16 + line, and the name "name". */
#define TL500_DEVICE_INTERRUPTS(X)                        \
  X(0, WWDG)         /* window watchdog */                \
  X(1, PVD)          /* voltage detector (EXTI16) */      \
  X(2, TAMPER_STAMP) /* tamper and time stamp (EXTI19) */ \
  X(3, RTC_WKUP)     /* RTC wake-up (EXTI20) */           \
  X(4, FLASH)        /* flash memory interface */         \
  X(5, RCC)          /* reset and clock control */        \
  X(6, EXTI0)                                             \
  X(7, EXTI1)                                             \
  X(8, EXTI2)                                             \
  X(9, EXTI3)                                             \
  X(10, EXTI4)                                            \
  X(11, DMA1_Channel1)                                    \
  X(12, DMA1_Channel2)                                    \
  X(13, DMA1_Channel3)                                    \
  X(14, DMA1_Channel4)                                    \
  X(15, DMA1_Channel5)                                    \
  X(16, DMA1_Channel6)                                    \
  X(17, DMA1_Channel7)                                    \
  X(18, ADC1)                                             \
  X(19, USB_HP)                                           \
  X(20, USB_LP)                                           \
  X(21, DAC)                                              \
  X(22, COMP) /* comparators (EXTI21/22) */               \
  X(23, EXTI9_5)                                          \
  X(24, LCD)                                              \
  X(25, TIM9)                                             \
  X(26, TIM10)                                            \
  X(27, TIM11)                                            \
  X(28, TIM2)                                             \
  X(29, TIM3)                                             \
  X(30, TIM4)                                             \
  X(31, I2C1_EV)                                          \
  X(32, I2C1_ER)                                          \
  X(33, I2C2_EV)                                          \
  X(34, I2C2_ER)                                          \
  X(35, SPI1)                                             \
  X(36, SPI2)                                             \
  X(37, USART1)                                           \
  X(38, USART2)                                           \
  X(39, USART3)                                           \
  X(40, EXTI15_10)                                        \
  X(41, RTC_Alarm)   /* RTC alarm (EXTI17) */             \
  X(42, USB_FS_WKUP) /* USB wake-up (EXTI18) */           \
  X(43, TIM6)                                             \
  X(44, TIM7)

#define TL500_DEVICE_INTERRUPT_COUNT 45

/* Slots of the table: the stack pointer, 15 core slots, the interrupt lines. */
#define TL500_CORE_VECTOR_SLOTS 16
#define TL500_VECTOR_SLOTS (TL500_CORE_VECTOR_SLOTS + TL500_DEVICE_INTERRUPT_COUNT)

#endif /* TL500_PLATFORM_VECTORS_H */
