/*
 * The few system services picolibc needs on the board: the standard streams,
 * the heap break and the program's end.
 */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

/* ------------------------------------------------------------ standard streams */

/* printf formats straight into the stream's put function: the stream has no
   buffer, so every character leaves at once through the firmware's console sink
   fputc (src/hw_config.cpp: USART1, blocking, "\n" sent as CR LF). */
static int console_put(char c, FILE *stream) { return fputc((unsigned char)c, stream); }

/* Keys come in through the USART1 receive queue, never through stdin: a read
   from the console stream fails. */
static FILE console = FDEV_SETUP_STREAM(console_put, NULL, NULL, _FDEV_SETUP_WRITE);

FILE *const stdin = &console;
FILE *const stdout = &console;
FILE *const stderr = &console;

/* ------------------------------------------------------------ heap */

/* Provided by tl500.ld: the 512-byte heap between .bss and the stack. */
extern char __heap_start[];
extern char __heap_end[];

static char *heap_break = __heap_start;

/* The heap ends where the linker script says; an allocation past it fails with
   ENOMEM instead of walking into the stack. */
void *sbrk(ptrdiff_t increment) {
  char *const old_break = heap_break;
  if (increment > __heap_end - old_break || increment < __heap_start - old_break) {
    errno = ENOMEM;
    return (void *)-1;
  }
  heap_break = old_break + increment;
  return old_break;
}

/* ------------------------------------------------------------ end of the program */

/* The board never runs exit handlers (the program's end below never returns to
   anything), so static destructors are not even recorded. */
int atexit(void (*function)(void)) {
  (void)function;
  return 0;
}

/* Semihosting exit request: SYS_EXIT_EXTENDED (0x20) with a parameter block of
   ADP_Stopped_ApplicationExit (0x20026) and main's status, repeated forever. A
   debugger attached with semihosting enabled ends the session with that status;
   without one the breakpoint escalates to HardFault, whose handler loops
   forever. Either way nothing runs any more. */
void _exit(int status) {
  /* The debugger reads the block from RAM: the asm's memory clobber keeps it
     stored there. */
  uint32_t block[2] = {0x20026u, (uint32_t)status};
  for (;;) {
    register uint32_t operation __asm__("r0") = 0x20u;
    register uint32_t *parameters __asm__("r1") = block;
    __asm__ volatile("bkpt 0xAB" : "+r"(operation) : "r"(parameters) : "memory");
  }
}
