// The host side of the firmware's register seam: register proxies, interrupt
// mask, idle hint and halting, all served by the current virtual board.
#include <cstdint>
#include <string>

#include "../../platform/cpu.h"
#include "../../platform/io_reg.h"
#include "../../platform/stm32l1_registers.h"
#include "../board.h"
#include "../core/stop.h"

namespace {

// Host windows mirroring the chip's peripheral and system-control address ranges;
// the register blocks of the firmware live here and forward to the board.
alignas(8) unsigned char g_periphWindow[PERIPH_END - PERIPH_BASE];
alignas(8) unsigned char g_scsWindow[SCS_END - SCS_BASE];

std::uint32_t chipAddress(const volatile void* reg) {
  auto p = reinterpret_cast<std::uintptr_t>(reg);
  auto periph = reinterpret_cast<std::uintptr_t>(g_periphWindow);
  auto scs = reinterpret_cast<std::uintptr_t>(g_scsWindow);
  if (p >= periph && p < periph + sizeof g_periphWindow) return PERIPH_BASE + static_cast<std::uint32_t>(p - periph);
  if (p >= scs && p < scs + sizeof g_scsWindow) return SCS_BASE + static_cast<std::uint32_t>(p - scs);
  throw sim::Stop(sim::StopKind::Fault, "register access outside the chip's register windows");
}

}  // namespace

namespace hostbus {

std::uintptr_t hostAddress(std::uint32_t chip) {
  if (chip >= PERIPH_BASE && chip < PERIPH_END) {
    return reinterpret_cast<std::uintptr_t>(g_periphWindow) + (chip - PERIPH_BASE);
  }
  if (chip >= SCS_BASE && chip < SCS_END) return reinterpret_cast<std::uintptr_t>(g_scsWindow) + (chip - SCS_BASE);
  sim::busError("register block outside the modelled address ranges", chip);
}

std::uint32_t read(const volatile void* reg, unsigned width) {
  return sim::Board::current().firmwareRead(chipAddress(reg), width);
}

void write(volatile void* reg, unsigned width, std::uint32_t value) {
  sim::Board::current().firmwareWrite(chipAddress(reg), width, value);
}

}  // namespace hostbus

extern "C" void __disable_irq(void) { sim::Board::current().firmwareSetPrimask(true); }
extern "C" void __enable_irq(void) { sim::Board::current().firmwareSetPrimask(false); }

void Platform_IdleHint() { sim::Board::current().firmwareIdle(); }

void Platform_Halt(const char* where) {
  throw sim::Stop(sim::StopKind::Fault, std::string("firmware halted in ") + where);
}
