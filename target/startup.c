/*
 * Start-up code and vector table of the TL500 board (STM32L1 medium density,
 * Cortex-M3).
 *
 * The vector table sits at 0x08000000, where the core fetches the initial stack
 * pointer and the reset vector. Every slot names its handler, from the one
 * vector list of the chip (platform/vectors.h); the firmware's
 * handlers (src/stm32l1xx_it.cpp) replace the weak defaults below, and every
 * interrupt the firmware does not handle ends in Default_Handler, which loops
 * forever (none of those interrupts is ever enabled).
 */
#include <stdint.h>

#include "../platform/vectors.h"

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

/* Core exceptions and peripheral interrupts (platform/vectors.h): weak
   aliases of Default_Handler, so any handler the firmware defines takes its
   slot. */
#define TL500_WEAK_HANDLER(name) void name(void) __attribute__((weak, alias("Default_Handler")));
#define TL500_WEAK_CORE_HANDLER(number, irqn, name, handler) TL500_WEAK_HANDLER(handler)
#define TL500_WEAK_DEVICE_HANDLER(line, name) TL500_WEAK_HANDLER(name##_IRQHandler)
TL500_CORE_EXCEPTIONS(TL500_WEAK_CORE_HANDLER)
TL500_DEVICE_INTERRUPTS(TL500_WEAK_DEVICE_HANDLER)

/* The stack pointer, then 15 core entries (reserved ones 0) and the interrupt
   lines; entry n of `vectors` is exception n + 1. */
struct vector_table {
  uint32_t *initial_sp;
  vector_t vectors[TL500_VECTOR_SLOTS - 1];
};

#define TL500_CORE_ENTRY(number, irqn, name, handler) [(number)-1] = handler,
#define TL500_DEVICE_ENTRY(line, name) [TL500_CORE_VECTOR_SLOTS - 1 + (line)] = name##_IRQHandler,

__attribute__((section(".isr_vector"), used)) const struct vector_table tl500_vector_table = {
    _estack,
    {
        [0] = Reset_Handler,
        TL500_CORE_EXCEPTIONS(TL500_CORE_ENTRY) TL500_DEVICE_INTERRUPTS(TL500_DEVICE_ENTRY)},
};
_Static_assert(sizeof(struct vector_table) == 4 * TL500_VECTOR_SLOTS, "one word per vector slot");

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
