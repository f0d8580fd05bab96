// Interrupt controller and core tick timer operations, at register level.
#include "nvic.h"

#include "stm32l1_registers.h"

namespace {

// Priority bits implemented on this chip sit in the upper nibble of each byte.
constexpr unsigned kPriorityShift = 8 - NVIC_PRIO_BITS;

std::uint8_t priorityByte(std::uint32_t priority) {
  return static_cast<std::uint8_t>((priority << kPriorityShift) & 0xFFu);
}

}  // namespace

void NVIC_SetVectorTable(std::uint32_t NVIC_VectTab, std::uint32_t Offset) {
  SCB->VTOR = NVIC_VectTab | (Offset & SCB_VTOR_TBLOFF);
}

void NVIC_PriorityGroupConfig(std::uint32_t NVIC_PriorityGroup) {
  // AIRCR ignores every write without the key.
  SCB->AIRCR = SCB_AIRCR_VECTKEY | (NVIC_PriorityGroup & SCB_AIRCR_PRIGROUP);
}

void NVIC_Init(NVIC_InitTypeDef* NVIC_InitStruct) {
  std::uint8_t channel = NVIC_InitStruct->NVIC_IRQChannel;
  std::uint32_t bit = 1u << (channel & 0x1Fu);
  if (NVIC_InitStruct->NVIC_IRQChannelCmd == DISABLE) {
    NVIC->ICER[channel >> 5] = bit;
    return;
  }
  // Under grouping code 0x300 + 0x100 * k the pre-emption part has 4 - k bits and
  // the sub-priority the remaining k bits of the 4.
  std::uint32_t preemptionBits = (0x700u - (SCB->AIRCR & SCB_AIRCR_PRIGROUP)) >> SCB_AIRCR_PRIGROUP_Pos;
  std::uint32_t subBits = NVIC_PRIO_BITS - preemptionBits;
  std::uint32_t priority = (std::uint32_t{NVIC_InitStruct->NVIC_IRQChannelPreemptionPriority} << subBits) |
                           (NVIC_InitStruct->NVIC_IRQChannelSubPriority & (0x0Fu >> preemptionBits));
  NVIC->IP[channel] = priorityByte(priority);
  NVIC->ISER[channel >> 5] = bit;
}

void NVIC_SetPriority(IRQn_Type IRQn, std::uint32_t priority) {
  if (IRQn >= 0) {
    NVIC->IP[static_cast<unsigned>(IRQn)] = priorityByte(priority);
  } else {
    // Core exceptions 4..15 have their priority bytes in SHPR1..3.
    SCB->SHPR[(static_cast<std::uint32_t>(IRQn) & 0xFu) - 4] = priorityByte(priority);
  }
}

void NVIC_EnableIRQ(IRQn_Type IRQn) {
  auto n = static_cast<std::uint32_t>(IRQn);
  NVIC->ISER[n >> 5] = 1u << (n & 0x1Fu);
}

std::uint32_t SysTick_Config(std::uint32_t ticks) {
  // The reload register has 24 bits; 0 ticks wraps to 0xFFFFFFFF and is refused too.
  if (ticks - 1u > SysTick_LOAD_RELOAD) return 1;
  SysTick->LOAD = ticks - 1u;
  NVIC_SetPriority(SysTick_IRQn, (1u << NVIC_PRIO_BITS) - 1u);
  SysTick->VAL = 0;
  SysTick->CTRL = SysTick_CTRL_CLKSOURCE | SysTick_CTRL_TICKINT | SysTick_CTRL_ENABLE;
  return 0;
}
