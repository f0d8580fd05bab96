#include "virtual_time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

DurationError parseDuration(std::string_view text, Time& out) {
  // The number: digits, optionally a fraction, optionally an exponent. Checked
  // here character by character so that nothing after it (a NUL byte, a second
  // number, spaces) slips past as it would past strtod.
  std::size_t i = 0;
  auto digits = [&] {
    std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
  };
  std::size_t whole = digits();
  std::size_t fractional = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    fractional = digits();
  }
  if (whole + fractional == 0) return DurationError::NotADuration;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return DurationError::NotADuration;
  }
  std::string number(text.substr(0, i));
  std::string_view unit = text.substr(i);
  double scale = 0;
  if (unit == "us") {
    scale = 1e-6;
  } else if (unit == "ms") {
    scale = 1e-3;
  } else if (unit == "s") {
    scale = 1;
  } else if (unit == "min") {
    scale = 60;
  } else {
    return DurationError::NotADuration;
  }
  double value = std::strtod(number.c_str(), nullptr);
  double quanta = value * scale * static_cast<double>(kQuantaPerSecond);
  // 2^63 is exact as a double; anything at or above it does not fit a
  // duration (and llround would overflow).
  if (!std::isfinite(quanta) || quanta >= 9223372036854775808.0) return DurationError::TooLong;
  out = static_cast<Time>(std::llround(quanta));
  return DurationError::None;
}

std::string maxDurationText() { return std::to_string(kMaxDuration / kQuantaPerSecond) + "s"; }

std::string formatTime(Time t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.6f s", toSeconds(t));
  return buf;
}

}  // namespace sim
