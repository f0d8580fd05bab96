// The emulated core's registers as the emulation library numbers them, and
// the program status register's fields, for the files of the emulated core.
#pragma once

#include <unicorn/unicorn.h>

#include <array>
#include <cstdint>

#include "cortex_m3.h"

namespace sim::core_registers {

constexpr std::uint32_t kPsrThumb = 1u << 24;
constexpr std::uint32_t kPsrFlags = 0xF8000000u;  // N Z C V Q

// The library's ids of r0-r12, sp, lr and pc, by the core's register number.
constexpr std::array<int, CortexM3::kPc + 1> kIds = {
    UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,  UC_ARM_REG_R4, UC_ARM_REG_R5,
    UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8,  UC_ARM_REG_R9,  UC_ARM_REG_R10, UC_ARM_REG_R11,
    UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC};

}  // namespace sim::core_registers
