#include "timing_tolerances.h"

namespace sim {

namespace {

// SplitMix64: small, fast, and every seed (0 included) gives a full-quality
// sequence, which is all a timing draw needs.
std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// FNV-1a of the tolerance's name: draws are keyed by name, not by order.
std::uint64_t hashName(std::string_view name) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (unsigned char c : name) {
    h ^= c;
    h *= 0x100000001B3ULL;
  }
  return h;
}

}  // namespace

std::uint64_t TimingTolerances::Stream::next() {
  state_ += 0x9E3779B97F4A7C15ULL;
  return mix(state_);
}

std::uint64_t TimingTolerances::Stream::between(std::uint64_t low, std::uint64_t high) {
  if (high <= low) return low;
  std::uint64_t span = high - low;
  if (span == ~std::uint64_t{0}) return next();
  // Rejection keeps the draw uniform however the span divides 2^64.
  std::uint64_t range = span + 1;
  std::uint64_t limit = ~std::uint64_t{0} - (~std::uint64_t{0} % range);
  std::uint64_t r = next();
  while (r >= limit) r = next();
  return low + r % range;
}

std::uint64_t TimingTolerances::Stream::draw(std::uint64_t typical, std::uint64_t low, std::uint64_t high) {
  return nominal_ ? typical : between(low, high);
}

double TimingTolerances::Stream::unit() {
  if (nominal_) return 0.0;
  return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

TimingTolerances::Stream TimingTolerances::stream(std::string_view name) const {
  if (!seed_) return Stream(true, 0);
  return Stream(false, mix(*seed_ ^ mix(hashName(name))));
}

double TimingTolerances::fixedPpm(std::string_view name, double ppm) const {
  if (!seed_) return 0.0;
  return (stream(name).unit() * 2.0 - 1.0) * ppm;
}

}  // namespace sim
