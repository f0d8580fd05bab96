#include "interpreter.h"

namespace sim::thumb {

bool decode16Memory(std::uint16_t, Op&) { return false; }

bool decode32Memory(std::uint32_t, Op&) { return false; }

}  // namespace sim::thumb
