/*
 * The straight-code program on a bare Cortex-M3: its vector table, reset and
 * end. It uses no peripheral, so the same objects run on the board's emulated
 * core and on QEMU's Cortex-M3 machine; only the flash address differs (see
 * the two linker scripts).
 *
 * It ends through the semihosting exit: success when every self-check held,
 * else a run-time error (exit status 1 under either emulator). The checksum
 * and the rounds run stay in RAM for whoever stopped it there.
 */
#include <stdint.h>

#include "work.h"

#ifndef STRAIGHT_CODE_ROUNDS
#error "STRAIGHT_CODE_ROUNDS: how many rounds the program runs"
#endif

#define SEMIHOSTING_EXIT 0x18u
#define STOPPED_APPLICATION_EXIT 0x20026u
#define STOPPED_RUN_TIME_ERROR 0x20023u
#define STOPPED_INTERNAL_ERROR 0x20024u

/* Read by the benchmark when the program has stopped. */
volatile uint32_t straight_code_checksum;
volatile uint32_t straight_code_rounds;
volatile uint32_t straight_code_failures;

extern uint32_t __bss_start[];
extern uint32_t __bss_end[];
extern uint32_t __stack_top[];

void straight_code_reset(void) __attribute__((noreturn));
void straight_code_exit(uint32_t reason) __attribute__((noreturn, noinline));
void straight_code_fault(void) __attribute__((noreturn));

/* The program's last instructions: a debugger (or the benchmark driving
   QEMU) stops at its entry to read the results. */
void straight_code_exit(uint32_t reason) {
  register uint32_t operation __asm__("r0") = SEMIHOSTING_EXIT;
  register uint32_t argument __asm__("r1") = reason;
  __asm__ volatile("bkpt 0xAB" : : "r"(operation), "r"(argument) : "memory");
  for (;;) {
  }
}

/* Any fault: the run is worthless, end it as an error instead of hanging. */
void straight_code_fault(void) { straight_code_exit(STOPPED_INTERNAL_ERROR); }

void straight_code_reset(void) {
  for (uint32_t *p = __bss_start; p < __bss_end; ++p) *p = 0;
  straight_code_rounds = STRAIGHT_CODE_ROUNDS;
  straight_code_result result = straight_code_work(STRAIGHT_CODE_ROUNDS);
  straight_code_checksum = result.checksum;
  straight_code_failures = result.failures;
  straight_code_exit(result.failures == 0 ? STOPPED_APPLICATION_EXIT : STOPPED_RUN_TIME_ERROR);
}

typedef void (*vector_t)(void);

/* Stack pointer, reset, then the core's exceptions 2-15: every one a fault
   here (nothing enables an interrupt). */
__attribute__((section(".vectors"), used)) const vector_t straight_code_vectors[16] = {
    (vector_t)__stack_top,  straight_code_reset, straight_code_fault, straight_code_fault,
    straight_code_fault,    straight_code_fault, straight_code_fault, straight_code_fault,
    straight_code_fault,    straight_code_fault, straight_code_fault, straight_code_fault,
    straight_code_fault,    straight_code_fault, straight_code_fault, straight_code_fault,
};
