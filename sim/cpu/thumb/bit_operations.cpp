#include "interpreter.h"

namespace sim::thumb {

bool decode16Misc(std::uint16_t, Op&) { return false; }

bool decode32PlainImmediate(std::uint32_t, Op&) { return false; }

bool decode32Register(std::uint32_t, Op&) { return false; }

bool decode32Multiply(std::uint32_t, Op&) { return false; }

}  // namespace sim::thumb
