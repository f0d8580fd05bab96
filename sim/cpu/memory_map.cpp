// The core's memory map: flash at its address and aliased at 0, RAM, and the
// peripheral and system-control ranges that the board's bus serves; the
// debugger's view of memory; what counts as a change of RAM.
#include <algorithm>
#include <cstring>

#include "../../platform/stm32l1_registers.h"
#include "cortex_m3.h"

namespace sim {

thumb::Interpreter::Memory CortexM3::memoryMap() {
  thumb::Interpreter::Memory m;
  // Flash at its address and, as after reset with BOOT0 low, aliased at 0.
  m.flash = flash_.data();
  m.flashBase = BoardImage::kFlashBase;
  m.flashSize = BoardImage::kFlashSize;
  m.ram = ram_.data();
  m.ramBase = BoardImage::kRamBase;
  m.ramSize = BoardImage::kRamSize;
  m.windowBegin[0] = PERIPH_BASE;
  m.windowEnd[0] = PERIPH_END;
  m.windowBegin[1] = SCS_BASE;
  m.windowEnd[1] = SCS_END;
  return m;
}

// A store below the watched loop's SP, in the stack and not in the frames of
// code a handler interrupted, changes nothing that counts.
void CortexM3::updateQuietStack() {
  cpu_->quietFrom = image_.stackBottom;
  cpu_->quietTo = std::max(image_.stackBottom, std::min(deadStackTop_, liveStackFrom_));
}

std::uint32_t* CortexM3::ramWord(std::uint32_t address) {
  if (address < BoardImage::kRamBase || address - BoardImage::kRamBase > BoardImage::kRamSize - 4) return nullptr;
  return reinterpret_cast<std::uint32_t*>(&ram_[address - BoardImage::kRamBase]);
}

bool CortexM3::readMemory(std::uint32_t address, std::uint8_t* out, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t a = address + static_cast<std::uint32_t>(i);
    if (a >= BoardImage::kRamBase && a - BoardImage::kRamBase < BoardImage::kRamSize) {
      out[i] = ram_[a - BoardImage::kRamBase];
    } else if (a >= BoardImage::kFlashBase && a - BoardImage::kFlashBase < BoardImage::kFlashSize) {
      out[i] = flash_[a - BoardImage::kFlashBase];
    } else if (a < BoardImage::kFlashSize) {
      out[i] = flash_[a];
    } else {
      return false;
    }
  }
  return true;
}

bool CortexM3::writeMemory(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t a = address + static_cast<std::uint32_t>(i);
    if (a >= BoardImage::kRamBase && a - BoardImage::kRamBase < BoardImage::kRamSize) {
      ram_[a - BoardImage::kRamBase] = data[i];
    } else {
      return false;  // flash is programmed by the image, not by the debugger
    }
  }
  return true;
}

std::optional<std::uint32_t> CortexM3::readGlobal(const std::string& symbol) {
  for (const auto& [address, name] : image_.symbols) {
    if (name != symbol) continue;
    std::uint8_t bytes[4];
    if (!readMemory(address, bytes, 4)) return std::nullopt;
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }
  return std::nullopt;
}

}  // namespace sim
