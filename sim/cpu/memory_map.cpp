// The core's memory map: flash at its address and aliased at 0, RAM, and the
// peripheral and system-control ranges that the board's bus serves; the
// debugger's view of memory; what counts as a change of RAM.
#include <unicorn/unicorn.h>

#include <cstring>

#include "../../platform/stm32l1_registers.h"
#include "cortex_m3.h"

namespace sim {

void CortexM3::mapMemory() {
  // Flash at its address and, as after reset with BOOT0 low, aliased at 0.
  check(uc_mem_map_ptr(uc_, BoardImage::kFlashBase, BoardImage::kFlashSize, UC_PROT_READ | UC_PROT_EXEC,
                       flash_.data()),
        "mapping flash");
  check(uc_mem_map_ptr(uc_, 0, BoardImage::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()),
        "mapping the flash alias");
  check(uc_mem_map_ptr(uc_, BoardImage::kRamBase, BoardImage::kRamSize, UC_PROT_ALL, ram_.data()), "mapping RAM");
  periphWindow_.base = PERIPH_BASE;
  scsWindow_.base = SCS_BASE;
  check(uc_mmio_map(uc_, PERIPH_BASE, PERIPH_END - PERIPH_BASE, reinterpret_cast<uc_cb_mmio_read_t>(&onMmioRead),
                    &periphWindow_, reinterpret_cast<uc_cb_mmio_write_t>(&onMmioWrite), &periphWindow_),
        "mapping the peripheral registers");
  check(uc_mmio_map(uc_, SCS_BASE, SCS_END - SCS_BASE, reinterpret_cast<uc_cb_mmio_read_t>(&onMmioRead), &scsWindow_,
                    reinterpret_cast<uc_cb_mmio_write_t>(&onMmioWrite), &scsWindow_),
        "mapping the system control space");
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

bool CortexM3::onInvalidAccess(uc_struct*, int type, std::uint64_t address, int, std::int64_t, void* user) {
  auto* self = static_cast<CortexM3*>(user);
  const char* what = "bus fault: access where no memory answers";
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
      what = "bus fault: read where no memory answers";
      break;
    case UC_MEM_WRITE_UNMAPPED:
      what = "bus fault: write where no memory answers";
      break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
      what = "bus fault: instruction fetch where no code can run";
      break;
    case UC_MEM_WRITE_PROT:
      what = "bus fault: write to flash";
      break;
    default:
      break;
  }
  std::uint32_t pc = self->reg(kPc);  // the library keeps the faulting instruction's address here
  self->fault_ = Fault{what, pc, static_cast<std::uint32_t>(address)};
  self->failed_ = true;
  self->stopRequested_ = true;
  return false;
}

void CortexM3::onRamWrite(uc_struct*, int, std::uint64_t address, int size, std::int64_t value, void* user) {
  auto* self = static_cast<CortexM3*>(user);
  ++self->cpu_->ramWrites;
  std::uint32_t offset = static_cast<std::uint32_t>(address) - BoardImage::kRamBase;
  if (size <= 0 || size > 8 || offset + static_cast<std::uint32_t>(size) > BoardImage::kRamSize) {
    ++self->cpu_->ramChanges;
    return;
  }
  if (address >= self->image_.stackBottom && address < self->deadStackTop_ && address < self->liveStackFrom_) return;
  auto v = static_cast<std::uint64_t>(value);
  if (std::memcmp(&self->ram_[offset], &v, static_cast<std::size_t>(size)) != 0) ++self->cpu_->ramChanges;
}

}  // namespace sim
