// The interpreter's run loop: counting, the limit, marks and what it stops on.
#include <gtest/gtest.h>

#include "interpreter_harness.h"

namespace {

using sim::thumb::Interpreter;
using thumb_test::Harness;

TEST(ThumbRunLoop, AnUndefinedInstructionFaultsAtItsAddressAndIsCounted) {
  Harness h;
  h.code({0xDE00});  // UDF #0
  EXPECT_EQ(h.step(5), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: undefined instruction");
  EXPECT_EQ(h.cpu->faultInfo().pc, thumb_test::kFlash + 0x100u);
  EXPECT_EQ(h.cpu->pc(), thumb_test::kFlash + 0x100u);
  EXPECT_EQ(h.cpu->count, 1u);
}

TEST(ThumbRunLoop, AFetchWhereNoCodeCanRunFaults) {
  Harness h;
  h.cpu->setPc(0x30000000u);
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "bus fault: instruction fetch where no code can run");
}

TEST(ThumbRunLoop, StopsBeforeAMarkedInstructionUnlessToldToPassIt) {
  Harness h;
  h.code({0xDE00});
  std::vector<std::uint8_t> marks(64 * 1024, 0);
  marks[0x100 / 2] = 4;
  h.cpu->setMarks(marks.data(), 4);
  h.cpu->limit = 10;
  EXPECT_EQ(h.cpu->run(), Interpreter::Exit::Marked);
  EXPECT_EQ(h.cpu->count, 0u);
  EXPECT_EQ(h.cpu->run(true), Interpreter::Exit::Fault);
}

}  // namespace

namespace {

// Plain instructions (adds r0, #1) run in rows without a look between them;
// a mark, the limit and a register access still stop the row exactly.
TEST(ThumbRunLoop, RowsOfPlainInstructionsStopAtMarksAndAtTheLimit) {
  Harness h;
  h.code({0x3001, 0x3001, 0x3001, 0x3001, 0x3001, 0x3001, 0x3001, 0x3001, 0xE7F6});  // eight adds, b back
  std::vector<std::uint8_t> marks(64 * 1024, 0);
  h.cpu->setMarks(marks.data(), 4);
  EXPECT_EQ(h.step(5), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->regs[0], 5u);
  EXPECT_EQ(h.cpu->pc(), thumb_test::kFlash + 0x10Au);
  // The seventh add marked: the row ends before it, and passing it runs it.
  marks[(0x100 + 12) / 2] = 4;
  h.cpu->markChanged(0x100 + 12);
  h.cpu->limit = h.cpu->count + 100;
  EXPECT_EQ(h.cpu->run(), Interpreter::Exit::Marked);
  EXPECT_EQ(h.cpu->regs[0], 6u);
  EXPECT_EQ(h.cpu->run(true), Interpreter::Exit::Marked);  // once round the loop: eight adds and the branch
  EXPECT_EQ(h.cpu->regs[0], 6u + 8u);
  EXPECT_EQ(h.cpu->count, 6u + 9u);
}

// A register access may lower the limit: the row stops right after it.
TEST(ThumbRunLoop, ARegisterAccessLetsTheOwnerEndTheRowAfterIt) {
  struct LoweringBus : thumb_test::Harness {
    std::uint32_t read(std::uint32_t address, unsigned size) override {
      cpu->limit = cpu->count;
      return Harness::read(address, size);
    }
  } h;
  h.cpu->regs[1] = thumb_test::kPeripherals;
  h.code({0x3001, 0x680A, 0x3001, 0x3001});  // adds r0, #1; ldr r2, [r1]; adds; adds
  EXPECT_EQ(h.step(4), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->count, 2u);
  EXPECT_EQ(h.cpu->regs[0], 1u);
}

}  // namespace
