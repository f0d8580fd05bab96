#include "virtual_time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

bool parseDuration(const std::string& text, Time& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(value) || value < 0) return false;
  std::string unit(end);
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
    return false;
  }
  double quanta = value * scale * static_cast<double>(kQuantaPerSecond);
  if (quanta > 1.8e19) return false;
  out = static_cast<Time>(std::llround(quanta));
  return true;
}

std::string formatTime(Time t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.6f s", toSeconds(t));
  return buf;
}

}  // namespace sim
