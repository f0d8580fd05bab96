// Virtual time held on purpose.
//
// Time can stand still while nothing is wrong: gdb at a breakpoint or not
// attached yet, the monitor open, the board held in reset until a terminal
// program attaches, the linked board's slot awaited. Each such wait keeps a
// HeldTime alive while it lasts, so that whatever watches the board's clock
// for a firmware that lets no time pass does not count it.
#pragma once

#include <cstdint>

namespace sim {

class HeldTime {
 public:
  // Holds nest and may be made from any thread.
  HeldTime();
  ~HeldTime();
  HeldTime(const HeldTime&) = delete;
  HeldTime& operator=(const HeldTime&) = delete;

  // Holds alive now.
  static unsigned active();
  // Holds made or ended so far: a hold that came and went between two looks
  // shows as a change.
  static std::uint64_t changes();
};

}  // namespace sim
