#include "firmware_vectors.h"

// Every handler slot of the chip's vector table: exception number, name and the
// handler's symbol, as the image's vector table lists them.
#define TL500_HANDLER_SLOTS(X)                     \
  X(2, "NMI", NMI_Handler)                         \
  X(3, "HardFault", HardFault_Handler)             \
  X(4, "MemManage", MemManage_Handler)             \
  X(5, "BusFault", BusFault_Handler)               \
  X(6, "UsageFault", UsageFault_Handler)           \
  X(11, "SVCall", SVC_Handler)                     \
  X(12, "DebugMonitor", DebugMon_Handler)          \
  X(14, "PendSV", PendSV_Handler)                  \
  X(15, "SysTick", SysTick_Handler)                \
  X(16, "WWDG", WWDG_IRQHandler)                   \
  X(17, "PVD", PVD_IRQHandler)                     \
  X(18, "TAMPER_STAMP", TAMPER_STAMP_IRQHandler)   \
  X(19, "RTC_WKUP", RTC_WKUP_IRQHandler)           \
  X(20, "FLASH", FLASH_IRQHandler)                 \
  X(21, "RCC", RCC_IRQHandler)                     \
  X(22, "EXTI0", EXTI0_IRQHandler)                 \
  X(23, "EXTI1", EXTI1_IRQHandler)                 \
  X(24, "EXTI2", EXTI2_IRQHandler)                 \
  X(25, "EXTI3", EXTI3_IRQHandler)                 \
  X(26, "EXTI4", EXTI4_IRQHandler)                 \
  X(27, "DMA1_Channel1", DMA1_Channel1_IRQHandler) \
  X(28, "DMA1_Channel2", DMA1_Channel2_IRQHandler) \
  X(29, "DMA1_Channel3", DMA1_Channel3_IRQHandler) \
  X(30, "DMA1_Channel4", DMA1_Channel4_IRQHandler) \
  X(31, "DMA1_Channel5", DMA1_Channel5_IRQHandler) \
  X(32, "DMA1_Channel6", DMA1_Channel6_IRQHandler) \
  X(33, "DMA1_Channel7", DMA1_Channel7_IRQHandler) \
  X(34, "ADC1", ADC1_IRQHandler)                   \
  X(35, "USB_HP", USB_HP_IRQHandler)               \
  X(36, "USB_LP", USB_LP_IRQHandler)               \
  X(37, "DAC", DAC_IRQHandler)                     \
  X(38, "COMP", COMP_IRQHandler)                   \
  X(39, "EXTI9_5", EXTI9_5_IRQHandler)             \
  X(40, "LCD", LCD_IRQHandler)                     \
  X(41, "TIM9", TIM9_IRQHandler)                   \
  X(42, "TIM10", TIM10_IRQHandler)                 \
  X(43, "TIM11", TIM11_IRQHandler)                 \
  X(44, "TIM2", TIM2_IRQHandler)                   \
  X(45, "TIM3", TIM3_IRQHandler)                   \
  X(46, "TIM4", TIM4_IRQHandler)                   \
  X(47, "I2C1_EV", I2C1_EV_IRQHandler)             \
  X(48, "I2C1_ER", I2C1_ER_IRQHandler)             \
  X(49, "I2C2_EV", I2C2_EV_IRQHandler)             \
  X(50, "I2C2_ER", I2C2_ER_IRQHandler)             \
  X(51, "SPI1", SPI1_IRQHandler)                   \
  X(52, "SPI2", SPI2_IRQHandler)                   \
  X(53, "USART1", USART1_IRQHandler)               \
  X(54, "USART2", USART2_IRQHandler)               \
  X(55, "USART3", USART3_IRQHandler)               \
  X(56, "EXTI15_10", EXTI15_10_IRQHandler)         \
  X(57, "RTC_Alarm", RTC_Alarm_IRQHandler)         \
  X(58, "USB_FS_WKUP", USB_FS_WKUP_IRQHandler)     \
  X(59, "TIM6", TIM6_IRQHandler)                   \
  X(60, "TIM7", TIM7_IRQHandler)

// Weak references: a handler the firmware defines anywhere fills its slot; one
// it does not define stays null, and taking that vector stops the run naming it
// (the image parks in its default handler instead).
extern "C" {
#define TL500_DECLARE_HANDLER(number, name, handler) void handler(void) __attribute__((weak));
TL500_HANDLER_SLOTS(TL500_DECLARE_HANDLER)
#undef TL500_DECLARE_HANDLER
}

namespace sim {

std::vector<InterruptController::Vector> firmwareVectors() {
  std::vector<InterruptController::Vector> table(InterruptController::kExceptions,
                                                 InterruptController::Vector{"reserved", nullptr});
  table[0].name = "initial stack pointer";
  table[1].name = "Reset";
#define TL500_FILL_SLOT(number, name, handler) table[number] = InterruptController::Vector{name, handler};
  TL500_HANDLER_SLOTS(TL500_FILL_SLOT)
#undef TL500_FILL_SLOT
  return table;
}

}  // namespace sim
