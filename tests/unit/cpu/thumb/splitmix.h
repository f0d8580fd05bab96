// splitmix64 for the instruction tests' random cases: the same numbers on
// every host and library.
#pragma once

#include <cstdint>

namespace thumb_test {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed) {}
  std::uint32_t next() {
    std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
  bool chance(unsigned percent) { return below(100) < percent; }
  bool bit() { return (next() & 1u) != 0; }

 private:
  std::uint64_t s_;
};

}  // namespace thumb_test
