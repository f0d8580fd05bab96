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

// A register access sees the count of its own instruction, and may lower
// the limit: the row stops right after it.
TEST(ThumbRunLoop, ARegisterAccessSeesItsInstructionsCountAndMayEndTheRowAfterIt) {
  struct LoweringBus : thumb_test::Harness {
    std::uint32_t read(std::uint32_t address, unsigned size) override {
      seen = cpu->count;
      cpu->limit = cpu->count;
      return Harness::read(address, size);
    }
    std::uint64_t seen = 0;
  } h;
  h.cpu->regs[1] = thumb_test::kPeripherals;
  // adds r0, #1 three times; ldr r2, [r1]; adds r0, #1 twice
  h.code({0x3001, 0x3001, 0x3001, 0x680A, 0x3001, 0x3001});
  EXPECT_EQ(h.step(6), Interpreter::Exit::Limit);
  EXPECT_EQ(h.seen, 4u);
  EXPECT_EQ(h.cpu->count, 4u);
  EXPECT_EQ(h.cpu->regs[0], 3u);
  // A fault inside a row counts up to its own instruction too.
  h.cpu->regs[1] = 0x30000000u;  // nothing answers there
  h.code({0x3001, 0x3001, 0x680A, 0x3001});
  h.cpu->count = 0;
  EXPECT_EQ(h.step(4), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->count, 3u);
  // LDRD, STRD and the exclusives run in rows too: a misaligned LDRD faults
  // at its own count. adds; strd r0, r1, [r3]; ldrex r2, [r3]; adds;
  // ldrd r4, r5, [r6]; adds
  h.cpu->regs[3] = thumb_test::kRam + 0x40u;
  h.cpu->regs[6] = thumb_test::kRam + 0x42u;
  h.code({0x3001, 0xE9C3, 0x0100, 0xE853, 0x2F00, 0x3001, 0xE9D6, 0x4500, 0x3001});
  h.cpu->count = 0;
  h.cpu->regs[0] = 0;
  EXPECT_EQ(h.step(6), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->count, 5u);
  EXPECT_EQ(h.cpu->regs[0], 2u);
  EXPECT_EQ(h.cpu->regs[2], 1u);  // strd stored r0 (then 1), ldrex read it back
  EXPECT_EQ(h.cpu->faultInfo().pc, thumb_test::kFlash + 0x10Cu);
}

}  // namespace
