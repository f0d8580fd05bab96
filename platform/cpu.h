// Core services the firmware needs beside register access: interrupt masking,
// the idle hint for loops that wait on memory only, and halting for good.
#pragma once

#include <cstdint>

#if defined(TL500_HOST)

extern "C" {
// Virtual PRIMASK of the virtual board.
void __disable_irq(void);  // NOLINT(bugprone-reserved-identifier)
void __enable_irq(void);   // NOLINT(bugprone-reserved-identifier)
}
// Lets the virtual board run to its next event: a loop that only re-reads memory
// (a counter a handler decrements, a queue a handler fills) would otherwise never
// let virtual time pass.
void Platform_IdleHint();
// Called by a wait loop right after a poll of a status register that found the
// flag not yet as wanted, with the number of polls the loop still has left.
// The virtual board may let polls that cannot see a change pass at once, in
// the virtual time they take; the loop counts them as done. Returns how many.
std::uint32_t Platform_PollsSkipped(std::uint32_t more);
// Stops the board for good (fault handlers, start-up failures). On the host the run
// ends and the place is reported.
[[noreturn]] void Platform_Halt(const char* where);

#else

extern "C" {
static inline void __disable_irq(void) { __asm volatile("cpsid i" ::: "memory"); }
static inline void __enable_irq(void) { __asm volatile("cpsie i" ::: "memory"); }
}
// Busy-wait loops on the board simply spin.
static inline void Platform_IdleHint() {}
// On the board every poll is made.
static inline std::uint32_t Platform_PollsSkipped(std::uint32_t /*more*/) { return 0; }
// The board freezes: nothing runs below the caller's priority any more.
[[noreturn]] static inline void Platform_Halt(const char* /*where*/) {
  for (;;) {
  }
}

#endif
