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
