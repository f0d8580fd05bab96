#include "bus.h"

#include <cstdio>

#include "stop.h"

namespace sim {

void busError(const std::string& what, std::uint32_t address) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08X", address);
  throw Stop(StopKind::Fault, "bus error: " + what + " at " + buf);
}

void Bus::map(std::uint32_t base, std::uint32_t size, Peripheral& peripheral) {
  regions_.push_back(Region{base, size, &peripheral});
  for (Line& line : lines_) line = Line{};  // a new block may own addresses a line served before
}

const Bus::Region* Bus::lookup(std::uint32_t address) const {
  std::uint32_t tag = address >> kLineShift;
  Line& line = lines_[tag & (kLines - 1)];
  if (line.tag == tag) {
    const Region& r = regions_[line.region];
    if (address - r.base < r.size) return &r;
  }
  for (std::size_t i = 0; i < regions_.size(); ++i) {
    const Region& r = regions_[i];
    if (address - r.base < r.size) {
      // Only a line that lies wholly in the block is remembered.
      std::uint32_t lineStart = tag << kLineShift;
      if (lineStart - r.base < r.size && lineStart + ((1u << kLineShift) - 1u) - r.base < r.size) {
        line = Line{tag, static_cast<std::uint32_t>(i)};
      }
      return &r;
    }
  }
  return nullptr;
}

const Bus::Region& Bus::find(std::uint32_t address, unsigned width, const char* access) const {
  if (width != 1 && width != 2 && width != 4) busError(std::string(access) + " of odd width", address);
  if ((address & (width - 1u)) != 0) busError(std::string("unaligned ") + access, address);
  const Region* r = lookup(address);
  if (r == nullptr) busError(std::string(access) + " where no peripheral answers", address);
  return *r;
}

std::uint32_t Bus::read(std::uint32_t address, unsigned width) {
  const Region& r = find(address, width, "read");
  if (!r.peripheral->clocked()) return 0;
  return r.peripheral->read(address - r.base, width);
}

void Bus::write(std::uint32_t address, unsigned width, std::uint32_t value) {
  const Region& r = find(address, width, "write");
  if (!r.peripheral->clocked() || r.peripheral->heldInReset()) return;
  r.peripheral->write(address - r.base, width, value);
}

Peripheral* Bus::at(std::uint32_t address) const {
  const Region* r = lookup(address);
  return r == nullptr ? nullptr : r->peripheral;
}

Peripheral* Bus::steadyModel(std::uint32_t address, std::uint32_t& offset) const {
  const Region* r = lookup(address);
  if (r == nullptr || !r->peripheral->clocked() || r->peripheral->heldInReset()) return nullptr;
  offset = address - r->base;
  return r->peripheral->steadyRead(offset) ? r->peripheral : nullptr;
}

bool Bus::steadyRead(std::uint32_t address) const {
  std::uint32_t offset = 0;
  return steadyModel(address, offset) != nullptr;
}

}  // namespace sim
