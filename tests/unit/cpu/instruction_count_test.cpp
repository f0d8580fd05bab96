// The emulated core counts every instruction it runs, those of conditional
// (IT) blocks whose condition fails included: on the core they take their
// cycle all the same. A hand-assembled program of known length runs to its
// semihosting exit.
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

// Assembled with arm-none-eabi-as -mcpu=cortex-m3 -mthumb:
//       movs r0, #0
//       movs r1, #100
//       movs r2, #0
// loop: cmp r0, #50
//       ite lo
//       addlo r0, #2
//       addhs r2, #1
//       itttt ne
//       addne r3, #1      (four times)
//       subs r1, #1
//       bne loop
//       movs r0, #0x18     SYS_EXIT, application exit
//       ldr r1, =0x20026
//       bkpt 0xAB
const std::vector<std::uint8_t> kProgram = {
    0x00, 0x20, 0x64, 0x21, 0x00, 0x22, 0x32, 0x28, 0x34, 0xBF, 0x02, 0x30, 0x01, 0x32, 0x1F, 0xBF,
    0x01, 0x33, 0x01, 0x33, 0x01, 0x33, 0x01, 0x33, 0x01, 0x39, 0xF4, 0xD1, 0x18, 0x20, 0x01, 0x49,
    0xAB, 0xBE, 0x00, 0x00, 0x26, 0x00, 0x02, 0x00,
};
constexpr std::uint64_t kPasses = 100;
// Three before the loop; per pass cmp, ite, two adds, itttt, four adds, subs,
// bne; the exit's movs, ldr and bkpt. Every instruction of the two blocks
// counts, whether its condition holds or not.
constexpr std::uint64_t kLength = 3 + kPasses * 11 + 3;

sim::BoardImage program() { return cpu_test::programImage(kProgram); }

TEST(InstructionCount, EveryInstructionOfConditionalBlocksCountsWhetherItsConditionHoldsOrNot) {
  sim::Board board;
  sim::CortexM3 core(board, program());
  ASSERT_EQ(core.run(), sim::CortexM3::Halt::Exited);
  EXPECT_EQ(core.exitStatus(), 0);
  // r0 climbs by 2 to 50 in 25 passes; the other 75 passes count in r2. The
  // four-instruction block runs while r0 was not 50: in those 25 passes.
  EXPECT_EQ(core.reg(2), 75u);
  EXPECT_EQ(core.reg(3), 100u);
  EXPECT_EQ(core.instructions(), kLength);
  EXPECT_EQ(core.skippedInstructions(), 0u);
  // Nothing but instructions took time: one core cycle each at the reset clock.
  EXPECT_EQ(board.clock().now(), sim::cyclesToTime(kLength, board.clock().coreHz()));
}

TEST(InstructionCount, SteppingCountsTheInstructionsOfAConditionalBlockWhoseConditionFails) {
  sim::Board board;
  sim::CortexM3 core(board, program());
  // A step runs a whole IT block; through the first pass of the loop, in
  // which the block's second add does not run.
  const std::uint32_t loop = kFlash + kCode + 6;
  for (unsigned step = 0; step <= 3 || core.reg(15) != loop; ++step) {
    ASSERT_LT(step, 20u);
    ASSERT_EQ(core.run(1), sim::CortexM3::Halt::Stepped);
  }
  EXPECT_EQ(core.instructions(), 3u + 11u);
  EXPECT_EQ(core.reg(0), 2u);
  EXPECT_EQ(core.reg(2), 0u);
  EXPECT_EQ(core.reg(3), 4u);
  ASSERT_EQ(core.run(), sim::CortexM3::Halt::Exited);
  EXPECT_EQ(core.instructions(), kLength);
}

}  // namespace
