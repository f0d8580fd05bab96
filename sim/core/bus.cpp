#include "bus.h"

#include <cstdio>

#include "stop.h"

namespace sim {

void busError(const std::string& what, std::uint32_t address) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08X", address);
  throw Stop(StopKind::Fault, "bus error: " + what + " at " + buf);
}

void Bus::map(std::uint32_t base, std::uint32_t size, Peripheral& peripheral, Gate clocked) {
  regions_.push_back(Region{base, size, &peripheral, std::move(clocked)});
  last_ = nullptr;  // the vector may have moved
}

const Bus::Region& Bus::find(std::uint32_t address, unsigned width, const char* access) const {
  if (width != 1 && width != 2 && width != 4) busError(std::string(access) + " of odd width", address);
  if (address % width != 0) busError(std::string("unaligned ") + access, address);
  if (last_ != nullptr && address - last_->base < last_->size) return *last_;
  for (const Region& r : regions_) {
    if (address >= r.base && address - r.base < r.size) {
      last_ = &r;
      return r;
    }
  }
  busError(std::string(access) + " where no peripheral answers", address);
}

std::uint32_t Bus::read(std::uint32_t address, unsigned width) {
  const Region& r = find(address, width, "read");
  if (!r.peripheral->clocked() || (r.clocked && !r.clocked())) return 0;
  return r.peripheral->read(address - r.base, width);
}

void Bus::write(std::uint32_t address, unsigned width, std::uint32_t value) {
  const Region& r = find(address, width, "write");
  if (!r.peripheral->clocked() || r.peripheral->heldInReset() || (r.clocked && !r.clocked())) return;
  r.peripheral->write(address - r.base, width, value);
}

Peripheral* Bus::at(std::uint32_t address) const {
  for (const Region& r : regions_) {
    if (address >= r.base && address - r.base < r.size) return r.peripheral;
  }
  return nullptr;
}

}  // namespace sim
