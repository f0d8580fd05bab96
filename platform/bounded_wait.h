// Bounded waits on a status register.
//
// Every wait of the firmware on a peripheral flag polls the register a fixed
// number of times at most, so a flag that never comes (a dead port, a chip
// that holds the bus) ends the wait instead of the program. Each poll is one
// read of the register.
//
// On the board every poll is made and a wait is the plain countdown loop. On
// the host, after a poll that found the flag not yet as wanted, the virtual
// board may let polls that cannot see a change pass at once, in the virtual
// time they take (Platform_PollsSkipped); they count against the budget like
// the others. That accounting lives here and nowhere else.
#pragma once

#include <cstdint>

#include "cpu.h"

// Polls `ready()` up to `polls` times: true as soon as it holds. After each
// poll that found it not, `failed()` (memory only: a failure an interrupt
// handler recorded) ends the wait with false; false also when the budget runs
// out. Polls passed at once may include the budget's last ones. When some
// passed, a handler may have run during them: `failed()` is asked again before
// the next poll, as the poll after the handler would have seen it.
template <typename Ready, typename Failed>
inline bool Platform_Wait_Bounded(std::uint32_t polls, Ready ready, Failed failed) {
  for (std::uint32_t left = polls; left != 0u; --left) {
    if (ready()) return true;
    if (failed()) return false;
    const std::uint32_t skipped = Platform_PollsSkipped(left - 1u);
    if (skipped != 0u) {
      left -= skipped;
      if (failed()) return false;
    }
  }
  return false;
}

// The same with no failure to watch.
template <typename Ready>
inline bool Platform_Wait_Bounded(std::uint32_t polls, Ready ready) {
  return Platform_Wait_Bounded(polls, ready, [] { return false; });
}

// The countdown of the I2C START and address waits: `ready()` is polled until
// true, with a Timeout counter in memory that starts at `timeout` and is
// counted down after each failed poll; the poll made with Timeout at 0 is the
// last, so there are timeout + 1 polls at most. That last poll is always
// made, at the moment it would be: polls passed at once never include it.
template <typename Ready>
inline bool Platform_Wait_Countdown(std::uint32_t timeout, Ready ready) {
  volatile std::uint32_t Timeout = timeout;
  // Follows Timeout for the host's sake; on the board it and the skipping
  // compile to nothing.
  std::uint32_t left = timeout;
  while (!ready()) {
    if (Timeout == 0u) return false;
    Timeout = Timeout - 1u;
    --left;
    const std::uint32_t skipped = Platform_PollsSkipped(left);
    if (skipped != 0u) {
      Timeout = Timeout - skipped;
      left -= skipped;
    }
  }
  return true;
}
