#include "run_stats.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
constexpr char kVirtualTime[] = "stats: virtual time ";
}

std::string formatRunStats(const RunStats& stats) {
  double boardSeconds = toSeconds(stats.virtualTime);
  char ratio[32];
  if (stats.wallSeconds > 0) {
    std::snprintf(ratio, sizeof ratio, "%.1fx", boardSeconds / stats.wallSeconds);
  } else {
    std::snprintf(ratio, sizeof ratio, "-");
  }
  // Nanoseconds: finer than one core cycle, so runs that differ by one access
  // slot print differently.
  char text[320];
  std::snprintf(text, sizeof text,
                "%s%.9f s, wall time %.6f s, %s real time\n"
                "stats: %llu register accesses, %llu polls skipped, %llu interrupts taken, %llu receive-queue drops\n",
                kVirtualTime, boardSeconds, stats.wallSeconds, ratio,
                static_cast<unsigned long long>(stats.registerAccesses),
                static_cast<unsigned long long>(stats.skippedPolls),
                static_cast<unsigned long long>(stats.interruptsTaken),
                static_cast<unsigned long long>(stats.receiveQueueDrops));
  return text;
}

std::optional<double> parseStatsVirtualSeconds(const std::string& text) {
  std::size_t at = text.find(kVirtualTime);
  if (at == std::string::npos) return std::nullopt;
  const char* start = text.c_str() + at + sizeof kVirtualTime - 1;
  char* end = nullptr;
  double seconds = std::strtod(start, &end);
  if (end == start) return std::nullopt;
  return seconds;
}

}  // namespace sim
