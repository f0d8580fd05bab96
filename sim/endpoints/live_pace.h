// How fast a live run's virtual time goes against the wall clock: real time,
// a factor of it, or as fast as the host allows while nobody types; and
// whether the run is paused from the page. One pace per process: the live run
// has one board. Read and changed on the board's thread only.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace sim {

struct LivePace {
  // Virtual seconds per wall second; 0 is "max".
  double factor = 1.0;
  bool paused = false;
  // Bumped on every change, so the pacer measures afresh from the change.
  unsigned generation = 0;
  // Virtual seconds per wall second over the last half second or so, as
  // measured; 0 before the first measurement and while paused.
  double ratio = 0;
  // When the operator last typed a key (terminal or page).
  std::chrono::steady_clock::time_point lastKey{};
  // Another live endpoint's work between steps (the web page), run at every
  // tick of the live run and while it is paused.
  std::function<void()> idle;
};

// The largest factor: beyond it a live run is "max" anyway.
constexpr double kMaxSpeedFactor = 100000;

LivePace& livePace();
// "realtime", "max" or a factor such as "10", "0.5", "x100"; nullopt with
// `error` set otherwise.
std::optional<double> parseSpeed(const std::string& text, std::string& error);
// "realtime", "x10", "x0.5", "max".
std::string speedName(double factor);
// Sets the factor from the operator (command line, monitor, page).
void setLiveSpeed(double factor);
void setLivePaused(bool paused);
// A key from the operator: at speed max the run slows to real time a while.
void liveKeyTyped();

}  // namespace sim
