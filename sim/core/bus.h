// The register bus of the virtual board: chip addresses to peripheral models.
#pragma once

#include <cstdint>
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
  // Whether reading the register at `offset` again gives the same value and has
  // the same effect as the read before, for as long as no event of the clock
  // runs and nothing is written: a status register whose bits only the model's
  // own scheduled events set. The board then lets a poll loop's identical
  // reads pass at once (the virtual time they take still passes).
  virtual bool steadyRead(std::uint32_t /*offset*/) const { return false; }

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
  // While the block's clock is off (Peripheral::clocked(), set by the clock
  // controller) it ignores writes and reads as zero, as on the chip; a block
  // held in reset ignores writes too.
  void map(std::uint32_t base, std::uint32_t size, Peripheral& peripheral);

  std::uint32_t read(std::uint32_t address, unsigned width);
  void write(std::uint32_t address, unsigned width, std::uint32_t value);

  // The model at `address`, or nullptr.
  Peripheral* at(std::uint32_t address) const;
  // Whether a read at `address` is steady (see Peripheral::steadyRead) in the
  // block's state now: only a clocked block, out of reset, can say when its
  // registers change.
  bool steadyRead(std::uint32_t address) const;
  // The model serving a steady read at `address` and the offset in it, for
  // reading it again and again; nullptr when the read is not steady now.
  Peripheral* steadyModel(std::uint32_t address, std::uint32_t& offset) const;

 private:
  struct Region {
    std::uint32_t base;
    std::uint32_t size;
    Peripheral* peripheral;
  };
  const Region& find(std::uint32_t address, unsigned width, const char* access) const;
  const Region* lookup(std::uint32_t address) const;

  std::vector<Region> regions_;
  // Accesses go straight to their region through a table indexed by address
  // bits 4-13 (a slot holds the 16-byte line it last served): no search and no
  // division on the path of every access.
  static constexpr unsigned kLineShift = 4;
  static constexpr std::size_t kLines = 1024;
  struct Line {
    std::uint32_t tag = ~std::uint32_t{0};
    std::uint32_t region = 0;
  };
  mutable std::vector<Line> lines_ = std::vector<Line>(kLines);
};

}  // namespace sim
