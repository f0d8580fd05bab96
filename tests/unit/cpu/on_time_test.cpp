// The emulated core's timing, on small hand-assembled Thumb programs: an
// interrupt is taken right after the instruction that allowed it, poll loops
// pass at once with the very outcome and virtual time of running them poll by
// poll, and the board image's end hands main's status on.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/image_loader.h"
#include "test_program.h"

namespace {

using cpu_test::kCode;
using cpu_test::kFlash;
// Routines (offsets from kCode):
constexpr std::uint32_t kWritePend = 0x00;  // str to NVIC ISPR0 pends IRQ1; nop; b .
constexpr std::uint32_t kAfterWrite = 0x06;
constexpr std::uint32_t kCpsiePend = 0x0A;  // cpsid i; pend IRQ1; nop; nop; cpsie i; nop; b .
constexpr std::uint32_t kAfterCpsie = 0x18;
constexpr std::uint32_t kMsrPend = 0x1C;  // cpsid i; pend IRQ1; nop; movs r2, #0; msr PRIMASK, r2; nop; b .
constexpr std::uint32_t kAfterMsr = 0x2C;
constexpr std::uint32_t kHandler = 0x30;  // stores the stacked PC at RAM[8]
// Reads USART1 SR, writes DR (clearing TC), then polls SR for TC with
// r4 = 100000 polls at most; then the semihosting exit.
constexpr std::uint32_t kPollTc = 0x38;
// Polls USART1 SR for RXNE, which never comes, with r4 = 5000; then the exit.
constexpr std::uint32_t kPollRxne = 0x50;

// Assembled with arm-none-eabi-as -mcpu=cortex-m3 -mthumb.
const std::vector<std::uint8_t> kProgram = {
    0x1A, 0x48, 0x02, 0x21, 0x01, 0x60, 0x00, 0xBF, 0xFE, 0xE7, 0x72, 0xB6, 0x17, 0x48, 0x02, 0x21,
    0x01, 0x60, 0x00, 0xBF, 0x00, 0xBF, 0x62, 0xB6, 0x00, 0xBF, 0xFE, 0xE7, 0x72, 0xB6, 0x13, 0x48,
    0x02, 0x21, 0x01, 0x60, 0x00, 0xBF, 0x00, 0x22, 0x82, 0xF3, 0x10, 0x88, 0x00, 0xBF, 0xFE, 0xE7,
    0x06, 0x99, 0x0F, 0x48, 0x01, 0x60, 0x70, 0x47, 0x0E, 0x48, 0x03, 0x88, 0x55, 0x21, 0x01, 0x71,
    0x0D, 0x4C, 0x03, 0x88, 0x13, 0xF0, 0x40, 0x0F, 0x01, 0xD1, 0x01, 0x3C, 0xF9, 0xD1, 0x09, 0xE0,
    0x08, 0x48, 0x41, 0xF2, 0x88, 0x34, 0x03, 0x88, 0x13, 0xF0, 0x20, 0x0F, 0x01, 0xD1, 0x01, 0x3C,
    0xF9, 0xD1, 0xFF, 0xE7, 0x18, 0x20, 0x05, 0x49, 0xAB, 0xBE, 0xFE, 0xE7, 0x00, 0xE2, 0x00, 0xE0,
    0x08, 0x00, 0x00, 0x20, 0x00, 0x38, 0x01, 0x40, 0xA0, 0x86, 0x01, 0x00, 0x26, 0x00, 0x02, 0x00,
};

sim::BoardImage program(std::uint32_t entry) {
  sim::BoardImage image = cpu_test::programImage(kProgram, entry);
  cpu_test::setVector(image, 17, kCode + kHandler);
  return image;
}

std::uint32_t ramWord(sim::CortexM3& core, std::uint32_t offset) {
  std::uint8_t b[4];
  EXPECT_TRUE(core.readMemory(0x20000000u + offset, b, 4));
  std::uint32_t v;
  std::memcpy(&v, b, 4);
  return v;
}

// ---------------------------------------------------------------- interrupts on time

// IRQ1 enabled; the program pends it itself. The handler records the PC it
// interrupted: the instruction right after the one that let it run.
std::uint32_t interruptedAt(std::uint32_t entry) {
  sim::Board board;
  sim::CortexM3 core(board, program(entry));
  board.bus().write(0xE000E100u, 4, 0x2u);  // NVIC ISER0: IRQ1
  board.clock().at(sim::milliseconds(1), [] { throw sim::Stop(sim::StopKind::Completed, "end"); });
  try {
    core.run();
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Completed) << stop.what();
  }
  return ramWord(core, 8);
}

TEST(InterruptsOnTime, APendingWriteOrAnUnmaskingIsFollowedByTheHandlerBeforeTheNextInstruction) {
  // A write to the interrupt controller's set-pending register.
  EXPECT_EQ(interruptedAt(kWritePend), kFlash + kCode + kAfterWrite);
  // Pended while masked: held through the nops, taken after cpsie i.
  EXPECT_EQ(interruptedAt(kCpsiePend), kFlash + kCode + kAfterCpsie);
  // The same with msr PRIMASK.
  EXPECT_EQ(interruptedAt(kMsrPend), kFlash + kCode + kAfterMsr);
}

// A handler that changes nothing the idle code sees, pended every 100 us: each
// pend is an entry of its own, even those passed at once as a repeat of the
// run before.
TEST(InterruptsOnTime, AHandlerThatChangesNothingIsEnteredForEveryPendRepeatedOrRun) {
  sim::Board board;
  sim::CortexM3 core(board, program(kWritePend));
  board.bus().write(0xE000E100u, 4, 0x2u);  // NVIC ISER0: IRQ1
  int entries = 0;
  board.interrupts().onEntry([&](int exc) { entries += exc == 17 ? 1 : 0; });
  for (int i = 1; i <= 100; ++i) {
    board.clock().at(sim::microseconds(100 * i),
                     [&board] { board.interrupts().setPending(sim::InterruptController::irq(1)); });
  }
  board.clock().at(sim::milliseconds(11), [] { throw sim::Stop(sim::StopKind::Completed, "end"); });
  try {
    core.run();
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Completed) << stop.what();
  }
  EXPECT_EQ(entries, 101);  // the program's own pend and the hundred
  EXPECT_GT(core.repeatedHandlers(), 50u);
  EXPECT_EQ(ramWord(core, 8), kFlash + kCode + kAfterWrite + 2);  // interrupted in the b . after the nop
  EXPECT_EQ(board.interrupts().depth(), 0u);
}

// ---------------------------------------------------------------- poll loops

struct PollRun {
  sim::Time end = 0;
  std::uint32_t left = 0;  // r4: polls the count still allowed
  std::uint64_t skippedPolls = 0;
  std::uint64_t accesses = 0;
};

// USART1 clocked, transmitting at a slow rate: a frame lasts some thousands
// of polls. With `eventEvery`, an event of the board that leaves the register
// as it is falls into the wait again and again.
PollRun pollRun(std::uint32_t entry, bool skipping, sim::Time eventEvery = 0) {
  sim::Board board;
  board.setPollSkipping(skipping);
  sim::CortexM3 core(board, program(entry));
  board.bus().write(0x40023820u, 4, 1u << 14);  // RCC APB2ENR: USART1
  board.bus().write(0x40013808u, 4, 0x400u);    // BRR: 2048 bit/s at the reset clock
  board.bus().write(0x4001380Cu, 4, 0x2008u);   // CR1: UE, TE
  if (eventEvery != 0) board.clock().every(eventEvery, eventEvery, [] {});
  EXPECT_EQ(core.run(), sim::CortexM3::Halt::Exited);
  return {board.clock().now(), core.reg(4), core.skippedPolls(), board.registerAccesses()};
}

TEST(PollLoops, PassAtOnceEndingWhenAndHowTheyWouldPollByPoll) {
  // The flag comes with the end of the frame, an event of the board.
  PollRun polled = pollRun(kPollTc, false);
  PollRun skipped = pollRun(kPollTc, true);
  EXPECT_EQ(polled.skippedPolls, 0u);
  EXPECT_GT(polled.accesses, 1000u);
  EXPECT_GT(skipped.skippedPolls, 1000u);
  EXPECT_LT(skipped.accesses, 100u);
  EXPECT_GT(polled.left, 0u);  // ended by the flag, not by the count
  EXPECT_EQ(skipped.left, polled.left);
  EXPECT_EQ(skipped.end, polled.end);
  EXPECT_EQ(skipped.accesses + skipped.skippedPolls, polled.accesses);

  // A flag that never comes: the count ends the loop, its last poll included.
  polled = pollRun(kPollRxne, false);
  skipped = pollRun(kPollRxne, true);
  EXPECT_EQ(polled.accesses, 5000u);
  EXPECT_EQ(polled.left, 0u);
  EXPECT_EQ(skipped.left, 0u);
  EXPECT_GT(skipped.skippedPolls, 4000u);
  EXPECT_EQ(skipped.end, polled.end);
  EXPECT_EQ(skipped.accesses + skipped.skippedPolls, 5000u);
}

// Once a poll loop was seen to repeat itself, it runs on past events that
// leave its register alone without being looked at again: the outcome is
// still the one of polling poll by poll, up to the last poll of the count.
TEST(PollLoops, RunOnPastEventsThatLeaveTheRegisterAloneAsPollByPoll) {
  for (sim::Time every : {sim::microseconds(7), sim::microseconds(50), sim::microseconds(333), sim::microseconds(1000)}) {
    SCOPED_TRACE(std::to_string(sim::toSeconds(every) * 1e6) + " us");
    PollRun polled = pollRun(kPollTc, false, every);
    PollRun skipped = pollRun(kPollTc, true, every);
    if (every >= sim::microseconds(50)) {
      EXPECT_GT(skipped.skippedPolls, polled.accesses * 3 / 4);
    }
    EXPECT_EQ(skipped.left, polled.left);
    EXPECT_EQ(skipped.end, polled.end);
    EXPECT_EQ(skipped.accesses + skipped.skippedPolls, polled.accesses);

    polled = pollRun(kPollRxne, false, every);
    skipped = pollRun(kPollRxne, true, every);
    EXPECT_EQ(polled.left, 0u);
    EXPECT_EQ(skipped.left, 0u);
    EXPECT_EQ(skipped.end, polled.end);
    EXPECT_EQ(skipped.accesses + skipped.skippedPolls, 5000u);
  }
}

// ---------------------------------------------------------------- the program's end

TEST(BoardImageEnd, MainsStatusEndsTheRun) {
  std::string path = TL500_IMAGE_PATH;
  path = path.substr(0, path.find_last_of('/') + 1) + "tl500_exit_status.elf";
  sim::BoardImage image;
  try {
    image = sim::loadImage(path);
  } catch (const sim::ImageError& e) {
    GTEST_SKIP() << e.what() << ": build the target preset first";
  }
  sim::Board board;
  sim::CortexM3 core(board, image);
  EXPECT_EQ(core.run(), sim::CortexM3::Halt::Exited);
  EXPECT_EQ(core.exitStatus(), 3);  // what its main returns
}

}  // namespace
