// The host's vector table of the firmware and the interrupt numbers the
// firmware enables must name the same slots as the chip's reference manual
// (and as the image's table, which the image checks compare to the same
// numbers): a handler in the wrong slot runs for the wrong interrupt.
#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "sim/host/firmware_vectors.h"
#include "stm32l1xx_it.h"

namespace {

using Handler = void (*)();

struct Slot {
  int exception;
  IRQn_Type irqn;
  const char* name;
  Handler handler;  // the firmware's own handler; nullptr: it has none
};

// Exception numbers from the chip's vector table (interrupt line + 16).
const Slot kSlots[] = {
    {2, NonMaskableInt_IRQn, "NMI", NMI_Handler},
    {3, HardFault_IRQn, "HardFault", HardFault_Handler},
    {11, SVCall_IRQn, "SVCall", SVC_Handler},
    {15, SysTick_IRQn, "SysTick", SysTick_Handler},
    {16, WWDG_IRQn, "WWDG", nullptr},
    {44, TIM2_IRQn, "TIM2", TIM2_IRQHandler},
    {47, I2C1_EV_IRQn, "I2C1_EV", I2C1_EV_IRQHandler},
    {48, I2C1_ER_IRQn, "I2C1_ER", I2C1_ER_IRQHandler},
    {50, I2C2_ER_IRQn, "I2C2_ER", I2C2_ER_IRQHandler},
    {53, USART1_IRQn, "USART1", USART1_IRQHandler},
    {54, USART2_IRQn, "USART2", nullptr},
    {55, USART3_IRQn, "USART3", USART3_IRQHandler},
    {60, TIM7_IRQn, "TIM7", nullptr},
};

TEST(VectorTable, EachInterruptNumberNamesTheSlotOfItsHandlerAsOnTheChip) {
  const auto table = sim::firmwareVectors();
  ASSERT_EQ(table.size(), 16u + kDeviceIrqCount);
  EXPECT_EQ(kDeviceIrqCount, 45);
  for (const Slot& s : kSlots) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(s.irqn + 16, s.exception);
    const auto& v = table[static_cast<std::size_t>(s.exception)];
    EXPECT_EQ(std::string(v.name), s.name);
    EXPECT_EQ(v.handler, s.handler);
  }
}

TEST(VectorTable, TheReservedCoreSlotsHaveNoHandler) {
  const auto table = sim::firmwareVectors();
  for (int exception : {7, 8, 9, 10, 13}) {
    SCOPED_TRACE(exception);
    EXPECT_EQ(std::string(table[static_cast<std::size_t>(exception)].name), "reserved");
    EXPECT_EQ(table[static_cast<std::size_t>(exception)].handler, nullptr);
  }
}

}  // namespace
