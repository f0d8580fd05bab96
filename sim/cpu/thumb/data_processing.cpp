#include "interpreter.h"

namespace sim::thumb {

bool decode16DataProcessing(std::uint16_t, Op&) { return false; }

bool decode32ModifiedImmediate(std::uint32_t, Op&) { return false; }

bool decode32ShiftedRegister(std::uint32_t, Op&) { return false; }

}  // namespace sim::thumb
