// The register bus of the virtual board: chip addresses to peripheral models.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// A peripheral model as the bus sees it: registers at offsets from its base.
// A model knows nothing of the firmware; it answers reads and writes the way
// the chip's peripheral does, side effects included.
class Peripheral {
 public:
  virtual ~Peripheral() = default;
  virtual std::string name() const = 0;
  // `offset` from the block's base; `width` in bytes (1, 2 or 4).
  virtual std::uint32_t read(std::uint32_t offset, unsigned width) = 0;
  virtual void write(std::uint32_t offset, unsigned width, std::uint32_t value) = 0;
  // Peripheral reset from the clock controller: registers to their reset values.
  virtual void reset() {}

  // The block's clock enable in RCC. While its clock is off a block stops: it
  // counts nothing, shifts nothing, ignores writes and reads as zero. Blocks that
  // RCC does not gate (the core's own, RCC and the flash interface) stay clocked.
  void setClocked(bool on) {
    if (on == clocked_) return;
    clocked_ = on;
    clockGated(on);
  }
  bool clocked() const { return clocked_; }
  // The block's reset bit in RCC. While it is set the block stays at its reset
  // values and ignores writes, not only at the moment the bit is set.
  void setHeldInReset(bool held) {
    if (held && !heldInReset_) reset();
    heldInReset_ = held;
  }
  bool heldInReset() const { return heldInReset_; }

 protected:
  // Called after the clock enable changed (already reflected by clocked()).
  virtual void clockGated(bool /*on*/) {}

 private:
  bool clocked_ = true;
  bool heldInReset_ = false;
};

// For models whose registers are 32-bit slots: the bytes of a slot that an access
// of `width` bytes at `offset` covers, and a write of them merged into the slot.
inline std::uint32_t slotPart(std::uint32_t slot, std::uint32_t offset, unsigned width) {
  unsigned shift = (offset & 3u) * 8u;
  std::uint32_t mask = width >= 4 ? 0xFFFFFFFFu : ((1u << (width * 8u)) - 1u);
  return (slot >> shift) & mask;
}
inline std::uint32_t slotMerge(std::uint32_t slot, std::uint32_t offset, unsigned width, std::uint32_t value) {
  unsigned shift = (offset & 3u) * 8u;
  std::uint32_t mask = (width >= 4 ? 0xFFFFFFFFu : ((1u << (width * 8u)) - 1u)) << shift;
  return (slot & ~mask) | ((value << shift) & mask);
}

// Stops the run with a bus error naming the address (throws Stop(Fault)).
[[noreturn]] void busError(const std::string& what, std::uint32_t address);

class Bus {
 public:
  using Gate = std::function<bool()>;

  // `clocked` tells whether the block's clock is on; while it is off the block
  // ignores writes and reads as zero, as on the chip. Empty: the block's own
  // clocked() decides. A block held in reset ignores writes too.
  void map(std::uint32_t base, std::uint32_t size, Peripheral& peripheral, Gate clocked = {});

  std::uint32_t read(std::uint32_t address, unsigned width);
  void write(std::uint32_t address, unsigned width, std::uint32_t value);

  // The model at `address`, or nullptr.
  Peripheral* at(std::uint32_t address) const;

 private:
  struct Region {
    std::uint32_t base;
    std::uint32_t size;
    Peripheral* peripheral;
    Gate clocked;
  };
  const Region& find(std::uint32_t address, unsigned width, const char* access) const;

  std::vector<Region> regions_;
  // The region of the last access: the firmware mostly polls one block at a time.
  mutable const Region* last_ = nullptr;
};

}  // namespace sim
