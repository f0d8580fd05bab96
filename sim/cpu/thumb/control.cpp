#include "interpreter.h"

namespace sim::thumb {

bool decode16Control(std::uint16_t, Op&) { return false; }

bool decode32Control(std::uint32_t, Op&) { return false; }

}  // namespace sim::thumb
