// The stack watch: the stack is filled with a pattern at reset; the guard
// words below it tell an overrun, the first word still holding the pattern
// the deepest use.
#include <cstring>

#include "cortex_m3.h"

namespace sim {

void CortexM3::checkStack() {
  std::uint32_t sp = reg(kSp);
  bool overrun = sp < image_.stackBottom;
  // The words just below the stack are never written unless the stack
  // overran, however briefly.
  for (std::uint32_t a = image_.stackBottom - 32; !overrun && a < image_.stackBottom; a += 4) {
    if (a >= image_.ramUsedEnd && ramWord(a) != nullptr && *ramWord(a) != kStackFill) overrun = true;
  }
  if (overrun) {
    halted("stack overrun: the stack pointer is at " + hexWord(sp) + " and the stack has run below its " +
           std::to_string(stackSize()) + " bytes (" + hexWord(image_.stackBottom) + ") into the RAM below it");
  }
}

std::uint32_t CortexM3::stackHighWater() const {
  std::uint32_t a = image_.stackBottom;
  while (a < image_.stackTop) {
    std::uint32_t v;
    std::memcpy(&v, &ram_[a - BoardImage::kRamBase], 4);
    if (v != kStackFill) break;
    a += 4;
  }
  return image_.stackTop - a;
}

}  // namespace sim
