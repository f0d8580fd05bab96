/*
 * Start-up code and vector table of the TL500 board (STM32L1 medium density,
 * Cortex-M3).
 *
 * The vector table sits at 0x08000000, where the core fetches the initial stack
 * pointer and the reset vector. Every slot names its handler; the firmware's
 * handlers (src/stm32l1xx_it.cpp) replace the weak defaults below, and every
 * interrupt the firmware does not handle ends in Default_Handler, which loops
 * forever (none of those interrupts is ever enabled).
 */
#include <stdint.h>

typedef void (*vector_t)(void);

/* Provided by tl500.ld. */
extern uint32_t _estack[];
extern uint32_t __data_source[];
extern uint32_t __data_start[];
extern uint32_t __data_end[];
extern uint32_t __bss_start[];
extern uint32_t __bss_end[];
extern uint32_t __tls_base[];
extern vector_t __preinit_array_start[];
extern vector_t __preinit_array_end[];
extern vector_t __init_array_start[];
extern vector_t __init_array_end[];

/* Clock set-up (platform/system_init.h). */
void SystemInit(void);
int main(void);
/* The end of the program (target/syscalls.c): the semihosting exit request. */
void _exit(int status) __attribute__((noreturn));
/* picolibc's thread pointer set-up: present only when library code that uses
   thread-local data (errno) is linked, hence weak. */
void _set_tls(void *tls) __attribute__((weak));

void Reset_Handler(void) __attribute__((noreturn));
void Default_Handler(void);

/* Every loose end of the vector table: stop here for good. A debugger shows
   the board parked in this loop after an unexpected interrupt. */
void Default_Handler(void) {
  for (;;) {
  }
}

/* Core exceptions and peripheral interrupts: weak aliases of Default_Handler,
   so any handler the firmware defines takes its slot. */
#define TL500_WEAK_HANDLER(name) void name(void) __attribute__((weak, alias("Default_Handler")))

TL500_WEAK_HANDLER(NMI_Handler);
TL500_WEAK_HANDLER(HardFault_Handler);
TL500_WEAK_HANDLER(MemManage_Handler);
TL500_WEAK_HANDLER(BusFault_Handler);
TL500_WEAK_HANDLER(UsageFault_Handler);
TL500_WEAK_HANDLER(SVC_Handler);
TL500_WEAK_HANDLER(DebugMon_Handler);
TL500_WEAK_HANDLER(PendSV_Handler);
TL500_WEAK_HANDLER(SysTick_Handler);

TL500_WEAK_HANDLER(WWDG_IRQHandler);
TL500_WEAK_HANDLER(PVD_IRQHandler);
TL500_WEAK_HANDLER(TAMPER_STAMP_IRQHandler);
TL500_WEAK_HANDLER(RTC_WKUP_IRQHandler);
TL500_WEAK_HANDLER(FLASH_IRQHandler);
TL500_WEAK_HANDLER(RCC_IRQHandler);
TL500_WEAK_HANDLER(EXTI0_IRQHandler);
TL500_WEAK_HANDLER(EXTI1_IRQHandler);
TL500_WEAK_HANDLER(EXTI2_IRQHandler);
TL500_WEAK_HANDLER(EXTI3_IRQHandler);
TL500_WEAK_HANDLER(EXTI4_IRQHandler);
TL500_WEAK_HANDLER(DMA1_Channel1_IRQHandler);
TL500_WEAK_HANDLER(DMA1_Channel2_IRQHandler);
TL500_WEAK_HANDLER(DMA1_Channel3_IRQHandler);
TL500_WEAK_HANDLER(DMA1_Channel4_IRQHandler);
TL500_WEAK_HANDLER(DMA1_Channel5_IRQHandler);
TL500_WEAK_HANDLER(DMA1_Channel6_IRQHandler);
TL500_WEAK_HANDLER(DMA1_Channel7_IRQHandler);
TL500_WEAK_HANDLER(ADC1_IRQHandler);
TL500_WEAK_HANDLER(USB_HP_IRQHandler);
TL500_WEAK_HANDLER(USB_LP_IRQHandler);
TL500_WEAK_HANDLER(DAC_IRQHandler);
TL500_WEAK_HANDLER(COMP_IRQHandler);
TL500_WEAK_HANDLER(EXTI9_5_IRQHandler);
TL500_WEAK_HANDLER(LCD_IRQHandler);
TL500_WEAK_HANDLER(TIM9_IRQHandler);
TL500_WEAK_HANDLER(TIM10_IRQHandler);
TL500_WEAK_HANDLER(TIM11_IRQHandler);
TL500_WEAK_HANDLER(TIM2_IRQHandler);
TL500_WEAK_HANDLER(TIM3_IRQHandler);
TL500_WEAK_HANDLER(TIM4_IRQHandler);
TL500_WEAK_HANDLER(I2C1_EV_IRQHandler);
TL500_WEAK_HANDLER(I2C1_ER_IRQHandler);
TL500_WEAK_HANDLER(I2C2_EV_IRQHandler);
TL500_WEAK_HANDLER(I2C2_ER_IRQHandler);
TL500_WEAK_HANDLER(SPI1_IRQHandler);
TL500_WEAK_HANDLER(SPI2_IRQHandler);
TL500_WEAK_HANDLER(USART1_IRQHandler);
TL500_WEAK_HANDLER(USART2_IRQHandler);
TL500_WEAK_HANDLER(USART3_IRQHandler);
TL500_WEAK_HANDLER(EXTI15_10_IRQHandler);
TL500_WEAK_HANDLER(RTC_Alarm_IRQHandler);
TL500_WEAK_HANDLER(USB_FS_WKUP_IRQHandler);
TL500_WEAK_HANDLER(TIM6_IRQHandler);
TL500_WEAK_HANDLER(TIM7_IRQHandler);

/* 16 core entries (stack pointer and 15 exceptions) + 45 interrupts. */
struct vector_table {
  uint32_t *initial_sp;
  vector_t vectors[15 + 45];
};

__attribute__((section(".isr_vector"), used)) const struct vector_table tl500_vector_table = {
    _estack,
    {
        Reset_Handler, NMI_Handler, HardFault_Handler, MemManage_Handler, BusFault_Handler, UsageFault_Handler, 0, 0, 0,
        0, SVC_Handler, DebugMon_Handler, 0, PendSV_Handler, SysTick_Handler,
        /* Peripheral interrupts 0..44. */
        WWDG_IRQHandler,          /*  0 window watchdog */
        PVD_IRQHandler,           /*  1 voltage detector (EXTI16) */
        TAMPER_STAMP_IRQHandler,  /*  2 tamper and time stamp (EXTI19) */
        RTC_WKUP_IRQHandler,      /*  3 RTC wake-up (EXTI20) */
        FLASH_IRQHandler,         /*  4 flash memory interface */
        RCC_IRQHandler,           /*  5 reset and clock control */
        EXTI0_IRQHandler,         /*  6 */
        EXTI1_IRQHandler,         /*  7 */
        EXTI2_IRQHandler,         /*  8 */
        EXTI3_IRQHandler,         /*  9 */
        EXTI4_IRQHandler,         /* 10 */
        DMA1_Channel1_IRQHandler, /* 11 */
        DMA1_Channel2_IRQHandler, /* 12 */
        DMA1_Channel3_IRQHandler, /* 13 */
        DMA1_Channel4_IRQHandler, /* 14 */
        DMA1_Channel5_IRQHandler, /* 15 */
        DMA1_Channel6_IRQHandler, /* 16 */
        DMA1_Channel7_IRQHandler, /* 17 */
        ADC1_IRQHandler,          /* 18 */
        USB_HP_IRQHandler,        /* 19 */
        USB_LP_IRQHandler,        /* 20 */
        DAC_IRQHandler,           /* 21 */
        COMP_IRQHandler,          /* 22 comparators (EXTI21/22) */
        EXTI9_5_IRQHandler,       /* 23 */
        LCD_IRQHandler,           /* 24 */
        TIM9_IRQHandler,          /* 25 */
        TIM10_IRQHandler,         /* 26 */
        TIM11_IRQHandler,         /* 27 */
        TIM2_IRQHandler,          /* 28 */
        TIM3_IRQHandler,          /* 29 */
        TIM4_IRQHandler,          /* 30 */
        I2C1_EV_IRQHandler,       /* 31 */
        I2C1_ER_IRQHandler,       /* 32 */
        I2C2_EV_IRQHandler,       /* 33 */
        I2C2_ER_IRQHandler,       /* 34 */
        SPI1_IRQHandler,          /* 35 */
        SPI2_IRQHandler,          /* 36 */
        USART1_IRQHandler,        /* 37 */
        USART2_IRQHandler,        /* 38 */
        USART3_IRQHandler,        /* 39 */
        EXTI15_10_IRQHandler,     /* 40 */
        RTC_Alarm_IRQHandler,     /* 41 RTC alarm (EXTI17) */
        USB_FS_WKUP_IRQHandler,   /* 42 USB wake-up (EXTI18) */
        TIM6_IRQHandler,          /* 43 */
        TIM7_IRQHandler,          /* 44 */
    },
};

/*
 * Reset: the clocks first (SystemInit touches registers only, so it may run
 * before RAM holds anything meaningful), then .data from flash, .bss zeroed,
 * static constructors (among them the motion-sensor object g_MPU_9150; the menu
 * flags come with .data), main, and the program's end.
 */
void Reset_Handler(void) {
  SystemInit();

  uint32_t *src = __data_source;
  for (uint32_t *dst = __data_start; dst < __data_end;) {
    *dst++ = *src++;
  }
  for (uint32_t *dst = __bss_start; dst < __bss_end;) {
    *dst++ = 0;
  }
  if (_set_tls) {
    _set_tls(__tls_base);
  }

  for (vector_t *ctor = __preinit_array_start; ctor < __preinit_array_end; ++ctor) {
    (*ctor)();
  }
  for (vector_t *ctor = __init_array_start; ctor < __init_array_end; ++ctor) {
    (*ctor)();
  }

  _exit(main());
}
