#include "live_pace.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

LivePace& livePace() {
  static LivePace pace;
  return pace;
}

std::optional<double> parseSpeed(const std::string& text, std::string& error) {
  if (text == "realtime") return 1.0;
  if (text == "max") return 0.0;
  std::string number = !text.empty() && text[0] == 'x' ? text.substr(1) : text;
  char* end = nullptr;
  double factor = number.empty() ? 0 : std::strtod(number.c_str(), &end);
  if (number.empty() || end == nullptr || *end != '\0' || !std::isfinite(factor) || factor < 0.01 ||
      factor > kMaxSpeedFactor) {
    error = "speed takes realtime, max or a factor from 0.01 to 100000 (such as 10), not '" + text + "'";
    return std::nullopt;
  }
  return factor;
}

std::string speedName(double factor) {
  if (factor == 0) return "max";
  if (factor == 1) return "realtime";
  char text[32];
  std::snprintf(text, sizeof text, "x%g", factor);
  return text;
}

void setLiveSpeed(double factor) {
  LivePace& pace = livePace();
  pace.factor = factor;
  ++pace.generation;
}

void setLivePaused(bool paused) {
  LivePace& pace = livePace();
  if (pace.paused == paused) return;
  pace.paused = paused;
  ++pace.generation;
}

void liveKeyTyped() { livePace().lastKey = std::chrono::steady_clock::now(); }

}  // namespace sim
