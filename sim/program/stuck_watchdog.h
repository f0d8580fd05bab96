// The stuck-firmware watchdog.
//
// Host-native firmware lets virtual time pass only at register accesses and
// idle hints. A loop that re-reads memory and touches neither would hang the
// host for ever, so a thread of its own watches the board's clock: when a
// whole `limit` of the firmware thread's processor time passes without virtual time moving, it stops the
// thread that created it (the firmware's) where it stands, names the function
// it is in on standard error, and ends the program with `exitStatus`.
//
// It only ever ends a run: it reads the clock and nothing else, so a run it
// does not end is exactly the run it would have been without it. The host
// time counted is the processor time of the firmware's thread, looked at in
// ticks of limit / 50, so neither a process that was suspended (Ctrl-Z, a
// debugger) nor a thread a loaded machine did not run is taken for a stuck one.
//
// Time can also stand still on purpose (gdb, the monitor, a board waiting for
// its terminal program or its linked board): such waits keep a HeldTime alive
// (sim/core/held_time.h) and the count starts afresh when the last one ends.
#pragma once

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "../core/clock.h"

namespace sim {

class StuckWatchdog {
 public:
  static constexpr std::chrono::milliseconds kDefaultLimit{5000};
  static constexpr int kTicksPerLimit = 50;

  // The limit a run uses: kDefaultLimit, or the milliseconds in the
  // environment variable TL500_SIM_STUCK_LIMIT_MS (1 to 600000) when set;
  // the tests of held time use it so as not to wait 5 s for every case.
  static std::chrono::milliseconds configuredLimit();

  // `lastWords` runs on the watchdog's thread just before the program ends
  // (restore the terminal, flush logs).
  StuckWatchdog(const Clock& clock, std::chrono::milliseconds limit = kDefaultLimit,
                std::function<void()> lastWords = {}, int exitStatus = 3);
  ~StuckWatchdog();
  StuckWatchdog(const StuckWatchdog&) = delete;
  StuckWatchdog& operator=(const StuckWatchdog&) = delete;

 private:
  // Ample for the watch and for the last words and naming at the end.
  static constexpr std::size_t kStackBytes = 1024 * 1024;
  static void* threadMain(void* self);
  void watch();
  std::chrono::nanoseconds firmwareCpuTime() const;
  [[noreturn]] void endRun();

  const Clock& clock_;
  std::chrono::milliseconds limit_;
  std::function<void()> lastWords_;
  int exitStatus_;
  clockid_t firmwareCpuClock_ = CLOCK_MONOTONIC;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  pthread_t thread_{};
};

}  // namespace sim
