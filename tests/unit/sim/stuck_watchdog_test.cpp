// The stuck-firmware watchdog: a loop that lets no virtual time pass ends the
// program with status 3, naming the function it loops in.
#include "sim/program/stuck_watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform.h"
#include "sim/board.h"
#include "sim/core/held_time.h"

// Firmware-like waits. Global, so the program's symbol table names them.
void WaitOnMemoryNothingWillChange(const volatile int* flag);
void WaitOnMemoryNothingWillChange(const volatile int* flag) {
  while (*flag == 0) {
  }
}
void WaitThroughACaller(const volatile int* flag);
void WaitThroughACaller(const volatile int* flag) { WaitOnMemoryNothingWillChange(flag); }

namespace {

using namespace std::chrono_literals;

volatile int g_neverSet = 0;

// A board whose firmware waits on memory nothing will change.
void RunStuckFirmware() {
  sim::Board board;
  sim::StuckWatchdog watchdog{board.clock(), 100ms, [] { std::fputs("last words\n", stderr); }};
  WaitThroughACaller(&g_neverSet);
}

TEST(StuckFirmwareDeathTest, ALoopThatLetsNoVirtualTimePassEndsWithStatus3NamingItsFunctionAndCaller) {
  EXPECT_EXIT(RunStuckFirmware(), ::testing::ExitedWithCode(3),
              "last words\n.*stuck.*WaitOnMemoryNothingWillChange.*\n  called from WaitThroughACaller");
}

// Time held on purpose (a debugger, the monitor) for many limits, then a
// firmware loop all the same.
void RunHeldThenStuckFirmware() {
  sim::Board board;
  sim::StuckWatchdog watchdog{board.clock(), 50ms};
  {
    sim::HeldTime held;
    sim::HeldTime nested;
    std::this_thread::sleep_for(400ms);
  }
  std::fputs("held time passed\n", stderr);
  WaitThroughACaller(&g_neverSet);
}

TEST(StuckFirmwareDeathTest, TimeHeldOnPurposeIsNotCountedButALoopAfterItStillIs) {
  EXPECT_EXIT(RunHeldThenStuckFirmware(), ::testing::ExitedWithCode(3),
              "held time passed\n.*stuck.*WaitOnMemoryNothingWillChange");
}

// A firmware busy for two seconds of virtual time, then a normal end: the
// watchdog must not end it first.
void RunMovingFirmwareThenExit() {
  sim::Board board;
  sim::StuckWatchdog watchdog{board.clock(), 20ms};
  // Register accesses move virtual time; many watchdog periods of processor time
  // are likely to pass here, none of them still.
  const sim::Time end = board.clock().now() + sim::seconds(2);
  board.clock().at(end, [] {});
  while (board.clock().now() < end) (void)static_cast<std::uint32_t>(RCC->CR);
  std::fputs("ran to the end\n", stderr);
  std::_Exit(0);
}

TEST(StuckFirmwareDeathTest, AFirmwareThatLetsVirtualTimePassIsLeftAlone) {
  EXPECT_EXIT(RunMovingFirmwareThenExit(), ::testing::ExitedWithCode(0), "ran to the end");
}

// On a loaded machine the firmware's thread may not run at all for longer
// than the limit, with no hold: what it did not spend processor time on is
// no stuck loop. A thread asleep stands for one the machine does not run.
void RunFirmwareNotRunByTheMachineThenExit() {
  sim::Board board;
  sim::StuckWatchdog watchdog{board.clock(), 20ms};
  std::this_thread::sleep_for(300ms);
  std::fputs("ran after the pause\n", stderr);
  std::_Exit(0);
}

TEST(StuckFirmwareDeathTest, AFirmwareThreadTheMachineDoesNotRunIsNotTakenForStuck) {
  EXPECT_EXIT(RunFirmwareNotRunByTheMachineThenExit(), ::testing::ExitedWithCode(0), "ran after the pause");
}

}  // namespace
