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
  // PRIGROUP splits the priority byte at bit PRIGROUP + 1: the group (pre-emption)
  // part is bits 7..PRIGROUP+1. Of the 4 implemented bits (7..4) the pre-emption
  // part therefore has min(4, 7 - PRIGROUP) bits and the sub-priority the rest;
  // groupings 0..3 leave no sub-priority bit at all.
  std::uint32_t group = (SCB->AIRCR & SCB_AIRCR_PRIGROUP) >> SCB_AIRCR_PRIGROUP_Pos;
  std::uint32_t preemptionBits = 7u - group < NVIC_PRIO_BITS ? 7u - group : NVIC_PRIO_BITS;
  std::uint32_t subBits = NVIC_PRIO_BITS - preemptionBits;
  std::uint32_t preemption = NVIC_InitStruct->NVIC_IRQChannelPreemptionPriority & ((1u << preemptionBits) - 1u);
  std::uint32_t sub = NVIC_InitStruct->NVIC_IRQChannelSubPriority & ((1u << subBits) - 1u);
  std::uint32_t priority = (preemption << subBits) | sub;
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
