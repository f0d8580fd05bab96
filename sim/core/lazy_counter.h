// The clock edges of a counter, counted lazily.
//
// A timer counting at its clock does not step on every edge in the model: only
// the moment counting (re)started and the period of its clock are kept; the
// edges so far follow from the virtual time. SysTick and the general-purpose
// timers build their counters on this.
#pragma once

#include <cstdint>

#include "clock.h"

namespace sim {

class LazyCounter {
 public:
  explicit LazyCounter(const Clock& clock) : clock_(clock) {}

  // Counts from now at `period` quanta per edge; 0 stops it.
  void start(Time period) {
    startedAt_ = clock_.now();
    period_ = period;
  }
  void stop() { period_ = 0; }
  bool running() const { return period_ != 0; }
  Time period() const { return period_; }

  // Whole edges since counting started.
  std::uint64_t edges() const {
    if (period_ == 0 || clock_.now() < startedAt_) return 0;
    return (clock_.now() - startedAt_) / period_;
  }
  // Time of edge `n`, counted from the start.
  Time timeOfEdge(std::uint64_t n) const { return startedAt_ + n * period_; }
  // Takes the last whole edge as the new start; returns the edges passed.
  std::uint64_t rebase() {
    std::uint64_t n = edges();
    startedAt_ += n * period_;
    return n;
  }
  // The counter's clock changed: the edges so far stand (rebase first), the
  // rest count at the new period from now; a partly elapsed edge is lost, as a
  // prescaler restarts on a clock switch.
  void setPeriod(Time period) {
    if (period != period_) start(period);
  }

 private:
  const Clock& clock_;
  Time startedAt_ = 0;
  Time period_ = 0;
};

}  // namespace sim
