// The program status register's fields, for the files of the emulated core.
#pragma once

#include <cstdint>

#include "cortex_m3.h"

namespace sim::core_registers {

constexpr std::uint32_t kPsrThumb = 1u << 24;
constexpr std::uint32_t kPsrFlags = 0xF8000000u;  // N Z C V Q

}  // namespace sim::core_registers
