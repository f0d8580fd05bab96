// The emulated core keeps time instruction by instruction, also inside a run
// of straight code that passes no boundary: a register is read at the
// virtual time of its own instruction, and the exception an event pends is
// entered at the first instruction boundary at or past the event, not some
// instructions later.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/board.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/image_loader.h"
#include "test_program.h"

namespace {

using cpu_test::kCode;
using cpu_test::kFlash;

// Routines (offsets from kCode):
// Starts SysTick on the core clock (LOAD and VAL 0xFFFFFF, no interrupt),
// reads VAL into r2, runs ten adds on r3 (seven 16-bit, three 32-bit), reads
// VAL into r4; then the semihosting exit.
constexpr std::uint32_t kReads = 0x00;
// Starts SysTick with LOAD = r5 and its interrupt on, r3 = 0, and branches
// to the run of adds on r3 that follows the program.
constexpr std::uint32_t kTick = 0x2E;
// The SysTick handler: stores the interrupted PC at RAM[0], then the exit.
constexpr std::uint32_t kHandler = 0x3C;
constexpr std::uint32_t kRun = 0x54;  // adds r3, #1 again and again; then b .
constexpr unsigned kRunLength = 300;

// Assembled with arm-none-eabi-as -mcpu=cortex-m3 -mthumb.
const std::vector<std::uint8_t> kProgram = {
    0x12, 0x48, 0x6F, 0xF0, 0x7F, 0x41, 0x41, 0x60, 0x81, 0x60, 0x05, 0x21, 0x01, 0x60, 0x82, 0x68,
    0x01, 0x33, 0x01, 0x33, 0x03, 0xF1, 0x01, 0x03, 0x01, 0x33, 0x03, 0xF1, 0x01, 0x03, 0x01, 0x33,
    0x03, 0xF1, 0x01, 0x03, 0x01, 0x33, 0x01, 0x33, 0x01, 0x33, 0x84, 0x68, 0x0A, 0xE0, 0x07, 0x48,
    0x45, 0x60, 0x85, 0x60, 0x00, 0x23, 0x07, 0x21, 0x01, 0x60, 0x0B, 0xE0, 0x4F, 0xF0, 0x00, 0x51,
    0x06, 0x9A, 0x0A, 0x60, 0x18, 0x20, 0x02, 0x49, 0xAB, 0xBE, 0x00, 0xBF, 0x10, 0xE0, 0x00, 0xE0,
    0x26, 0x00, 0x02, 0x00,
};

sim::BoardImage program(std::uint32_t entry) {
  sim::BoardImage image = cpu_test::programImage(kProgram, entry);
  std::uint32_t at = kCode + kRun;
  for (unsigned i = 0; i < kRunLength; ++i, at += 2) {
    image.flash[at] = 0x01;  // adds r3, #1
    image.flash[at + 1] = 0x33;
  }
  image.flash[at] = 0xFE;  // b .
  image.flash[at + 1] = 0xE7;
  cpu_test::setVector(image, 15, kCode + kHandler);  // SysTick
  image.flashUsed = at + 2;
  return image;
}

TEST(InstructionTime, RegisterReadsInStraightCodeHappenAtTheirOwnInstructionsTime) {
  sim::Board board;
  sim::CortexM3 core(board, program(kReads));
  ASSERT_EQ(core.run(), sim::CortexM3::Halt::Exited);
  EXPECT_EQ(core.reg(3), 10u);
  // SysTick counts core cycles down. Between the two reads run the ten adds
  // and the second read itself, one cycle each, and the second read's
  // access: its instruction's time, not that of the code around it.
  const std::uint32_t first = core.reg(2), second = core.reg(4);
  ASSERT_GT(first, second);
  EXPECT_EQ(first - second, 11u + sim::Board::kCyclesPerAccess);
}

// With LOAD = n the tick falls n + 1 counter cycles after the write that
// starts SysTick; the branch to the run takes one of them: the handler is
// entered after the n-th add, before the next, wherever that lies in the run.
TEST(InstructionTime, AnEventsExceptionIsEnteredAtItsInstructionInsideAStraightRun) {
  for (std::uint32_t load : {7u, 20u, 99u, 100u, 101u, 173u, 255u}) {
    SCOPED_TRACE(load);
    sim::Board board;
    sim::CortexM3 core(board, program(kTick));
    core.setReg(5, load);
    ASSERT_EQ(core.run(), sim::CortexM3::Halt::Exited);
    EXPECT_EQ(core.exitStatus(), 0);
    EXPECT_EQ(core.reg(3), load);
    std::uint8_t b[4];
    ASSERT_TRUE(core.readMemory(0x20000000u, b, 4));
    std::uint32_t interrupted;
    std::memcpy(&interrupted, b, 4);
    EXPECT_EQ(interrupted, kFlash + kCode + kRun + 2 * load);
  }
}

// The run as groups of an IT block and an add: ite ne; movne r0, #1;
// moveq r0, #0; adds r3, #1. Coming from movs r3, #0 (Z set) the first
// block runs its second instruction only; after every add (Z clear) its
// first only, so the block's last instruction is one whose condition failed.
sim::BoardImage itProgram() {
  sim::BoardImage image = program(kTick);
  std::uint32_t at = kCode + kRun;
  const std::uint8_t group[8] = {0x14, 0xBF, 0x01, 0x20, 0x00, 0x20, 0x01, 0x33};
  for (unsigned i = 0; i < kRunLength; ++i, at += 2) {
    image.flash[at] = group[(i % 4) * 2];
    image.flash[at + 1] = group[(i % 4) * 2 + 1];
  }
  return image;
}

// No exception is taken inside an IT block, and none later than right after
// it, whether or not the conditions of its instructions passed.
TEST(InstructionTime, AnEventFallingInsideAnItBlockIsTakenRightAfterTheBlock) {
  for (std::uint32_t load : {7u, 20u, 100u, 101u, 102u, 173u, 174u, 255u}) {
    SCOPED_TRACE(load);
    sim::Board board;
    sim::CortexM3 core(board, itProgram());
    core.setReg(5, load);
    ASSERT_EQ(core.run(), sim::CortexM3::Halt::Exited);
    std::uint8_t b[4];
    ASSERT_TRUE(core.readMemory(0x20000000u, b, 4));
    std::uint32_t interrupted;
    std::memcpy(&interrupted, b, 4);
    // After the load-th instruction of the run, or after the block it is in.
    const std::uint32_t inGroup = load % 4;
    const std::uint32_t boundary = inGroup == 1 || inGroup == 2 ? load - inGroup + 3 : load;
    EXPECT_EQ(interrupted, kFlash + kCode + kRun + 2 * boundary);
  }
}

}  // namespace
