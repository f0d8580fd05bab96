// Figures of a run of the virtual board, printed by `tl500-sim --stats` and
// read back by the benchmarks: how much board time passed, in how much wall
// time, and where the work went.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "../core/virtual_time.h"

namespace sim {

struct RunStats {
  Time virtualTime = 0;
  double wallSeconds = 0;
  std::uint64_t registerAccesses = 0;  // modelled one by one
  std::uint64_t skippedPolls = 0;      // polls that passed at once
  std::uint64_t interruptsTaken = 0;
  std::uint64_t receiveQueueDrops = 0;
};

// Two lines, each starting "stats: ":
//   stats: virtual time 10.602345123 s, wall time 0.031207 s, 339.7x real time
//   stats: 1234 register accesses, 56 polls skipped, 10602 interrupts taken, 0 receive-queue drops
std::string formatRunStats(const RunStats& stats);

// The virtual time of a text holding formatRunStats' output, in seconds;
// nullopt when there is none.
std::optional<double> parseStatsVirtualSeconds(const std::string& text);

}  // namespace sim
