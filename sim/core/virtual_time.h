// Virtual time of the board.
//
// Time is counted in quanta of 1/3,145,728,000,000 s (2^26 x 3 x 5^6 quanta a
// second): every clock on the board (MSI 65,536 Hz x 2^k for all seven ranges,
// HSI 16 MHz, the 12 MHz crystal, PLL 32 MHz, and each of them divided by 1 to 16
// on the buses) has a whole number of quanta per cycle, so cycle arithmetic is
// exact and runs are bit-for-bit repeatable. 64 bits of quanta last 67 days.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

using Time = std::uint64_t;

inline constexpr Time kQuantaPerSecond = 3'145'728'000'000ULL;
inline constexpr Time kQuantaPerMillisecond = kQuantaPerSecond / 1000;
inline constexpr Time kQuantaPerMicrosecond = kQuantaPerSecond / 1'000'000;

constexpr Time seconds(std::uint64_t s) { return s * kQuantaPerSecond; }
constexpr Time milliseconds(std::uint64_t ms) { return ms * kQuantaPerMillisecond; }
constexpr Time microseconds(std::uint64_t us) { return us * kQuantaPerMicrosecond; }
// Quanta of one cycle of a clock of `hz` (exact for the board's clocks).
constexpr Time quantaPerCycle(std::uint32_t hz) { return kQuantaPerSecond / hz; }
// Whether a clock of `hz` has a whole number of quanta per cycle.
constexpr bool exactClock(std::uint32_t hz) { return hz != 0 && kQuantaPerSecond % hz == 0; }
// Duration of `cycles` cycles of a clock of `hz`.
constexpr Time cyclesToTime(std::uint64_t cycles, std::uint32_t hz) { return cycles * quantaPerCycle(hz); }
// Nearest quantum to a period of `num/den` seconds.
constexpr Time fraction(std::uint64_t num, std::uint64_t den) { return (num * kQuantaPerSecond + den / 2) / den; }

inline double toSeconds(Time t) { return static_cast<double>(t) / static_cast<double>(kQuantaPerSecond); }
inline double toMicroseconds(Time t) { return static_cast<double>(t) / static_cast<double>(kQuantaPerMicrosecond); }

// Longest duration a script or option may name: one quantum short of 2^63,
// so that any such duration added to a run's time cannot wrap (about 2.97 years).
inline constexpr Time kMaxDuration = (Time{1} << 63) - 1;

enum class DurationError { None, NotADuration, TooLong };
// "1.5s", "250us", "10ms", "2min", "1e3ms": the whole text must be a number
// (digits, an optional fraction, an optional exponent) and a unit. Sets `out`
// only when the result is None.
DurationError parseDuration(std::string_view text, Time& out);
// The same, as a yes/no.
inline bool parseDurationOk(std::string_view text, Time& out) { return parseDuration(text, out) == DurationError::None; }
// kMaxDuration in whole seconds, for messages ("at most 2932031s").
std::string maxDurationText();
// Human form for messages: "1.234567 s".
std::string formatTime(Time t);

}  // namespace sim
