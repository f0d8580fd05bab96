// Where in its documented range each timing of the board falls.
//
// A real board's timings are ranges, not numbers: the crystal is within
// ±50 ppm, a sensor converts in anything from its typical to its maximum time,
// a terminal leaves a gap of its own between bytes. A run without a timing
// seed uses the nominal point of every range, so every existing transcript
// stays as it is. A run with a seed draws each timing from its range,
// reproducibly: the same seed gives the same run, byte for byte.
//
// Draws are keyed by name, not by the order in which parts ask for them, so
// adding a new tolerance somewhere does not move every other draw:
//   - `fixed(name, ...)` is one draw for the whole run (a crystal's error, a
//     chip's conversion time on this particular board);
//   - `stream(name)` gives a sequence of draws that vary event by event (the
//     idle gap before each byte a terminal sends, the cost of each stretch of
//     firmware code between two register accesses).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "virtual_time.h"

namespace sim {

class TimingTolerances {
 public:
  // Nominal: every draw gives its typical value.
  TimingTolerances() = default;
  explicit TimingTolerances(std::uint64_t seed) : seed_(seed) {}

  bool nominal() const { return !seed_.has_value(); }
  std::optional<std::uint64_t> seed() const { return seed_; }

  // A sequence of draws of one named tolerance. A nominal stream gives the
  // typical value every time.
  class Stream {
   public:
    // A whole number in [low, high], uniformly.
    std::uint64_t between(std::uint64_t low, std::uint64_t high);
    // `typical` when nominal, else a draw in [low, high].
    std::uint64_t draw(std::uint64_t typical, std::uint64_t low, std::uint64_t high);
    // A fraction in [0, 1): 0 when nominal.
    double unit();
    bool nominal() const { return nominal_; }

   private:
    friend class TimingTolerances;
    Stream(bool nominal, std::uint64_t state) : nominal_(nominal), state_(state) {}
    std::uint64_t next();
    bool nominal_;
    std::uint64_t state_;
  };

  Stream stream(std::string_view name) const;

  // One draw for the whole run: `typical` when nominal, else in [low, high].
  std::uint64_t fixed(std::string_view name, std::uint64_t typical, std::uint64_t low, std::uint64_t high) const {
    return stream(name).draw(typical, low, high);
  }
  // A relative error for the whole run, in parts per million, within ±ppm
  // (0 when nominal): a crystal's or an RC oscillator's accuracy.
  double fixedPpm(std::string_view name, double ppm) const;

 private:
  std::optional<std::uint64_t> seed_;
};

}  // namespace sim
