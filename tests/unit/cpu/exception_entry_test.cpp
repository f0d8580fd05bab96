// The emulated core's exception entry and return, faults, stack watch, wait
// loops and the semihosting exit, on small hand-assembled Thumb programs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/cpu/cortex_m3.h"
#include "test_program.h"

namespace {

using ::testing::HasSubstr;

using cpu_test::kFlash;
// Routines of the test program (offsets in flash):
constexpr std::uint32_t kIdle = 0x100;         // b .
constexpr std::uint32_t kMaskedPolls = 0x110;  // cpsid i; 50 reads of I2C1 SR1; cpsie i; b .
constexpr std::uint32_t kAfterCpsie = 0x11E;
constexpr std::uint32_t kOverrun = 0x140;     // push {r0}; b overrun
constexpr std::uint32_t kExitOk = 0x150;      // SYS_EXIT, application exit
constexpr std::uint32_t kExitStatus3 = 0x160;  // SYS_EXIT_EXTENDED, status 3
constexpr std::uint32_t kSlowHandler = 0x180;  // counts entries to RAM[0], records it at RAM[16], spins
constexpr std::uint32_t kQuickHandler = 0x1C0;  // records at RAM[20] and the stacked PC at RAM[8]
constexpr std::uint32_t kLateHandler = 0x1E0;   // records at RAM[24]
constexpr std::uint32_t kFaultingHandler = 0x200;  // mov.w r0, #0x60000000; ldr r0, [r0] (at 0x204)
constexpr std::uint32_t kHardFaultLoop = 0x210;    // b .
constexpr std::uint32_t kUndefined = 0x300;        // udf #0
constexpr std::uint32_t kMaskedForEver = 0x310;    // cpsid i; b . (at 0x312)

// Assembled with arm-none-eabi-as -mcpu=cortex-m3 -mthumb, from 0x100 on.
const std::vector<std::uint8_t> kProgram = {
    0xFE, 0xE7, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x72, 0xB6, 0x40, 0x4A, 0x32, 0x23, 0x10, 0x68, 0x01, 0x3B, 0xFC, 0xD1, 0x62, 0xB6, 0xFE, 0xE7,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0xB4, 0xFD, 0xE7, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x18, 0x20, 0x31, 0x49, 0xAB, 0xBE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x2E, 0x49, 0x2D, 0x48, 0x08, 0x60, 0x03, 0x20, 0x48, 0x60, 0x20, 0x20, 0xAB, 0xBE, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x4F, 0xF0, 0x00, 0x51, 0x08, 0x68, 0x01, 0x30, 0x08, 0x60, 0x08, 0x61, 0xFF, 0x22, 0x2D, 0x32,
    0x01, 0x3A, 0xFD, 0xD1, 0x70, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x4F, 0xF0, 0x00, 0x51, 0x08, 0x68, 0x01, 0x30, 0x08, 0x60, 0x48, 0x61, 0x06, 0x98, 0x88, 0x60,
    0x70, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x4F, 0xF0, 0x00, 0x51, 0x08, 0x68, 0x01, 0x30, 0x08, 0x60, 0x88, 0x61, 0x70, 0x47, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x4F, 0xF0, 0xC0, 0x40, 0x00, 0x68, 0x70, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xFE, 0xE7, 0x00, 0x00, 0x14, 0x54, 0x00, 0x40, 0x26, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x20,
};

sim::BoardImage testImage(std::uint32_t reset) {
  // The routines are named by their offset in flash; the program starts at kCode.
  sim::BoardImage image = cpu_test::programImage(kProgram, reset - cpu_test::kCode);
  image.flash[kUndefined] = 0x00;
  image.flash[kUndefined + 1] = 0xDE;
  const std::uint8_t maskedForEver[] = {0x72, 0xB6, 0xFE, 0xE7};
  std::memcpy(&image.flash[kMaskedForEver], maskedForEver, sizeof maskedForEver);
  cpu_test::setVector(image, 3, kHardFaultLoop);
  cpu_test::setVector(image, 16, kSlowHandler);
  cpu_test::setVector(image, 17, kQuickHandler);
  cpu_test::setVector(image, 18, kLateHandler);
  cpu_test::setVector(image, 19, kFaultingHandler);
  image.flashUsed = 0x400;
  image.ramUsedEnd = 0x20000200u;
  return image;
}

struct Entry {
  int exception;
  std::size_t depth;
  bool slowStillActive;
  bool operator==(const Entry&) const = default;
};

class EmulatedCore : public ::testing::Test {
 protected:
  void start(std::uint32_t reset) {
    core = std::make_unique<sim::CortexM3>(board, testImage(reset));
    // IRQ0 at priority 8, IRQ1 at 4 (pre-empts it), IRQ2 at 12, IRQ3 at 0.
    board.bus().write(0xE000E400u, 4, 0x00C04080u);
    board.bus().write(0xE000E100u, 4, 0xFu);
    board.interrupts().onEntry([this](int exc) {
      entries.push_back({exc, board.interrupts().depth(), board.interrupts().isActive(16)});
    });
  }
  void pendAt(sim::Time t, int line) {
    board.clock().at(t, [this, line] { board.interrupts().setPending(sim::InterruptController::irq(line)); });
  }
  void endAt(sim::Time t) {
    board.clock().at(t, [] { throw sim::Stop(sim::StopKind::Completed, "end of the test"); });
  }
  // Runs until the board stops the run; the Stop.
  sim::Stop runToStop() {
    try {
      core->run();
    } catch (const sim::Stop& stop) {
      return stop;
    }
    return sim::Stop(sim::StopKind::FirmwareReturned, "the program exited");
  }
  std::uint32_t ram(std::uint32_t offset) {
    std::uint8_t b[4];
    EXPECT_TRUE(core->readMemory(0x20000000u + offset, b, 4));
    std::uint32_t v;
    std::memcpy(&v, b, 4);
    return v;
  }

  sim::Board board;
  std::unique_ptr<sim::CortexM3> core;
  std::vector<Entry> entries;
};

TEST_F(EmulatedCore, HigherPriorityNestsLowerWaitsAndTailChains) {
  start(kIdle);
  pendAt(sim::microseconds(100), 0);  // the slow handler starts
  pendAt(sim::microseconds(200), 1);  // higher priority: pre-empts it
  pendAt(sim::microseconds(250), 2);  // lower priority: waits for it to end
  endAt(sim::milliseconds(5));
  EXPECT_EQ(runToStop().kind(), sim::StopKind::Completed);

  EXPECT_EQ(entries, (std::vector<Entry>{{16, 1, true}, {17, 2, true}, {18, 1, false}}));
  EXPECT_EQ(ram(16), 1u);  // slow first,
  EXPECT_EQ(ram(20), 2u);  // quick nested inside it,
  EXPECT_EQ(ram(24), 3u);  // late after it
  // Every frame was unstacked: the stack is back at its top, in thread mode.
  EXPECT_EQ(core->reg(13), 0x20004000u);
  EXPECT_EQ(board.interrupts().depth(), 0u);
  EXPECT_EQ(core->reg(15), kFlash + kIdle);
}

TEST_F(EmulatedCore, PrimaskHoldsAnInterruptUntilTheMaskedPollingEnds) {
  start(kMaskedPolls);
  pendAt(sim::microseconds(20), 1);  // arrives while the polls run masked
  endAt(sim::milliseconds(5));
  EXPECT_EQ(runToStop().kind(), sim::StopKind::Completed);

  ASSERT_EQ(entries.size(), 1u);
  // The handler interrupted the instruction after cpsie i, not a poll.
  EXPECT_EQ(ram(8), kFlash + kAfterCpsie);
}

TEST_F(EmulatedCore, AFaultInAHandlerEndsTheRunNamingFaultPcAndAddress) {
  start(kIdle);
  pendAt(sim::microseconds(10), 3);
  sim::Stop stop = runToStop();
  EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
  EXPECT_THAT(stop.what(), HasSubstr("bus fault: read where no memory answers"));
  EXPECT_THAT(stop.what(), HasSubstr("PC 0x08000204"));
  EXPECT_THAT(stop.what(), HasSubstr("address 0x60000000"));
  EXPECT_THAT(stop.what(), HasSubstr("HardFault handler halted"));
}

TEST_F(EmulatedCore, AnUndefinedInstructionIsAFault) {
  start(kUndefined);
  sim::Stop stop = runToStop();
  EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
  EXPECT_THAT(stop.what(), HasSubstr("undefined instruction at PC 0x08000300"));
}

TEST_F(EmulatedCore, AStackRunningPastItsKibibyteEndsTheRun) {
  start(kOverrun);
  endAt(sim::seconds(1));
  sim::Stop stop = runToStop();
  EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
  EXPECT_THAT(stop.what(), HasSubstr("stack overrun"));
  EXPECT_EQ(core->stackHighWater(), 1024u);
}

TEST_F(EmulatedCore, SemihostingExitEndsTheRunWithTheProgramsStatus) {
  start(kExitOk);
  EXPECT_EQ(core->run(), sim::CortexM3::Halt::Exited);
  EXPECT_EQ(core->exitStatus(), 0);

  core.reset();
  start(kExitStatus3);
  EXPECT_EQ(core->run(), sim::CortexM3::Halt::Exited);
  EXPECT_EQ(core->exitStatus(), 3);
}

TEST_F(EmulatedCore, AWaitLoopJumpsToTheNextEventChargingWholeIterations) {
  start(kIdle);
  endAt(sim::seconds(1));
  EXPECT_EQ(runToStop().kind(), sim::StopKind::Completed);
  EXPECT_EQ(board.clock().now(), sim::seconds(1));
  EXPECT_LT(core->instructions(), 10'000u);
  EXPECT_GT(core->skippedInstructions(), 2'000'000u);  // one second at the reset clock
  EXPECT_EQ(core->stackHighWater(), 0u);
}

TEST_F(EmulatedCore, AWaitNothingCanEverEndIsStuckForGoodNamingThePc) {
  // Interrupts masked: the line pended at 10 us and every event after it can
  // never be taken, so the loop ends the run at once, not at the end event.
  start(kMaskedForEver);
  pendAt(sim::microseconds(10), 0);
  endAt(sim::seconds(10));
  sim::Stop stop = runToStop();
  EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
  EXPECT_THAT(stop.what(), HasSubstr("stuck for good"));
  EXPECT_THAT(stop.what(), HasSubstr("PC 0x08000312"));
  EXPECT_THAT(stop.what(), HasSubstr("PRIMASK set"));
  EXPECT_LT(board.clock().now(), sim::milliseconds(1));
  EXPECT_TRUE(entries.empty());

  // Unmasked, but with every interrupt line disabled and SysTick off: the
  // same, though events are still to come.
  core.reset();
  entries.clear();
  start(kIdle);
  board.bus().write(0xE000E180u, 4, 0xFu);  // NVIC ICER0
  endAt(sim::seconds(20));
  stop = runToStop();
  EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
  EXPECT_THAT(stop.what(), HasSubstr("stuck for good"));
  EXPECT_THAT(stop.what(), HasSubstr("PC 0x08000100"));
  EXPECT_THAT(stop.what(), HasSubstr("no interrupt enabled"));
  EXPECT_LT(board.clock().now(), sim::seconds(11));
}

TEST_F(EmulatedCore, BreakpointsStopBeforeTheInstructionAndStepsRunOne) {
  start(kMaskedPolls);
  core->addBreakpoint(kFlash + kAfterCpsie);
  EXPECT_EQ(core->run(), sim::CortexM3::Halt::Breakpoint);
  EXPECT_EQ(core->reg(15), kFlash + kAfterCpsie);
  core->removeBreakpoint(kFlash + kAfterCpsie);
  core->addBreakpoint(kFlash + kMaskedPolls + 8);  // subs r3, #1 in the poll loop
  core->reset();
  EXPECT_EQ(core->run(), sim::CortexM3::Halt::Breakpoint);
  EXPECT_EQ(core->reg(3), 50u);
  EXPECT_EQ(core->run(1), sim::CortexM3::Halt::Stepped);
  EXPECT_EQ(core->reg(3), 49u);
}

}  // namespace
