// Idle periods on the emulated core: a wait loop interrupted by a SysTick
// handler that changes nothing passes whole periods of ticks at once. Every
// tick must still be entered at the very time it is when each runs, and the
// loop must leave its wait at the same instant, in the same state.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/cpu/cortex_m3.h"
#include "test_program.h"

namespace {

using cpu_test::kCode;

// SysTick on the core clock with LOAD 2001 (a wrap every 2002 cycles), IRQ1
// and IRQ2 enabled; then a five-instruction loop waits for RAM[0]. Its place
// at each tick moves on by (2002 - 24) mod 5 = 3 instructions: the same
// place comes back every fifth tick. Once RAM[0] is set, SysTick's VAL goes to
// RAM[4] and the program exits.
// SysTick's handler: nop; bx lr. IRQ1's reads NVIC ISER0 (a register, no
// memory). IRQ2's sets RAM[0].
// Assembled with arm-none-eabi-as -mcpu=cortex-m3 -mthumb.
const std::vector<std::uint8_t> kProgram = {
    0x11, 0x49, 0x40, 0xf2, 0xd1, 0x70, 0x48, 0x60, 0x00, 0x20, 0x88, 0x60, 0x07, 0x20, 0x08, 0x60,
    0x0e, 0x48, 0x06, 0x23, 0x03, 0x60, 0x4f, 0xf0, 0x00, 0x52, 0x13, 0x68, 0x00, 0x2b, 0x00, 0xbf,
    0x00, 0xbf, 0xfa, 0xd0, 0x88, 0x68, 0x50, 0x60, 0x18, 0x20, 0x09, 0x49, 0xab, 0xbe, 0x00, 0xbf,
    0x00, 0xbf, 0x70, 0x47, 0x05, 0x48, 0x00, 0x68, 0x70, 0x47, 0x00, 0xbf, 0x4f, 0xf0, 0x00, 0x50,
    0x01, 0x21, 0x01, 0x60, 0x70, 0x47, 0x00, 0x00, 0x10, 0xe0, 0x00, 0xe0, 0x00, 0xe1, 0x00, 0xe0,
    0x26, 0x00, 0x02, 0x00,
};
struct Program {
  const std::vector<std::uint8_t>* code;
  std::uint32_t sysTick, look, done;  // the handlers' offsets
};
const Program kLoop{&kProgram, 0x30, 0x34, 0x3C};

// The same, the loop calling two functions that save registers and LR on the
// stack below the loop's frame, one after the other at the same addresses:
// the first reads RAM[0] (thirteen instructions an iteration: the place moves
// on by 2 a tick, back every thirteenth). Left inside the first with the
// second's words where its own were, the loop would return elsewhere. At the
// end r4 goes to RAM[8] as well.
const std::vector<std::uint8_t> kCallingProgram = {
    0x17, 0x49, 0x40, 0xf2, 0xd1, 0x70, 0x48, 0x60, 0x00, 0x20, 0x88, 0x60, 0x07, 0x20, 0x08, 0x60,
    0x14, 0x48, 0x06, 0x23, 0x03, 0x60, 0x4f, 0xf0, 0x00, 0x52, 0x00, 0x24, 0x00, 0xf0, 0x0a, 0xf8,
    0x00, 0xf0, 0x0e, 0xf8, 0x00, 0x2b, 0xf9, 0xd0, 0x88, 0x68, 0x50, 0x60, 0x94, 0x60, 0x18, 0x20,
    0x0d, 0x49, 0xab, 0xbe, 0x10, 0xb5, 0x14, 0x68, 0x00, 0xbf, 0x23, 0x46, 0x10, 0xbd, 0x00, 0xbf,
    0xe0, 0xb5, 0x05, 0x25, 0x00, 0xbf, 0xe0, 0xbd, 0x00, 0xbf, 0x70, 0x47, 0x05, 0x48, 0x00, 0x68,
    0x70, 0x47, 0x00, 0xbf, 0x4f, 0xf0, 0x00, 0x50, 0x01, 0x21, 0x01, 0x60, 0x70, 0x47, 0x00, 0x00,
    0x10, 0xe0, 0x00, 0xe0, 0x00, 0xe1, 0x00, 0xe0, 0x26, 0x00, 0x02, 0x00,
};
const Program kCallingLoop{&kCallingProgram, 0x48, 0x4C, 0x54};

struct IdleRun {
  std::vector<std::pair<sim::Time, int>> entries;  // when each exception was entered
  sim::Time end = 0;
  std::uint32_t valAtEnd = 0;  // SysTick's VAL as the loop left its wait
  std::uint32_t r4AtEnd = 0;   // the calling loop's r4 then
  std::vector<std::uint32_t> registers;
  std::uint64_t executed = 0;
  std::uint64_t repeated = 0;
};

// Waits until `doneAt`, with IRQ1 pended every `lookEvery` (0: never).
IdleRun idleRun(bool skipping, sim::Time doneAt, sim::Time lookEvery, const Program& program = kLoop) {
  sim::BoardImage image = cpu_test::programImage(*program.code);
  cpu_test::setVector(image, 15, kCode + program.sysTick);
  cpu_test::setVector(image, 17, kCode + program.look);
  cpu_test::setVector(image, 18, kCode + program.done);
  sim::Board board;
  board.setPollSkipping(skipping);
  sim::CortexM3 core(board, image);
  IdleRun run;
  board.interrupts().onEntry([&](int exc) { run.entries.emplace_back(board.clock().now(), exc); });
  if (lookEvery != 0) {
    board.clock().every(lookEvery, lookEvery,
                        [&board] { board.interrupts().setPending(sim::InterruptController::irq(1)); });
  }
  board.clock().at(doneAt, [&board] { board.interrupts().setPending(sim::InterruptController::irq(2)); });
  EXPECT_EQ(core.run(), sim::CortexM3::Halt::Exited);
  run.end = board.clock().now();
  std::uint8_t bytes[8];
  EXPECT_TRUE(core.readMemory(0x20000004u, bytes, 8));
  std::memcpy(&run.valAtEnd, bytes, 4);
  std::memcpy(&run.r4AtEnd, bytes + 4, 4);
  for (unsigned r = 0; r <= sim::CortexM3::kXpsr; ++r) run.registers.push_back(core.reg(r));
  run.executed = core.instructions();
  run.repeated = core.repeatedHandlers();
  return run;
}

void expectAlike(const IdleRun& passed, const IdleRun& run) {
  EXPECT_EQ(passed.end, run.end);
  EXPECT_EQ(passed.valAtEnd, run.valAtEnd);
  EXPECT_EQ(passed.r4AtEnd, run.r4AtEnd);
  EXPECT_EQ(passed.registers, run.registers);
  ASSERT_EQ(passed.entries.size(), run.entries.size());
  for (std::size_t i = 0; i < run.entries.size(); ++i) {
    ASSERT_EQ(passed.entries[i], run.entries[i]) << "entry " << i;
  }
}

TEST(IdlePeriods, PassAtOnceWithEveryTickAtItsOwnTime) {
  // A second and a bit at the reset clock: about 1,050 ticks.
  const sim::Time doneAt = sim::milliseconds(1000) + sim::microseconds(337);
  IdleRun passed = idleRun(true, doneAt, 0);
  IdleRun run = idleRun(false, doneAt, 0);
  expectAlike(passed, run);
  EXPECT_GT(passed.entries.size(), 1000u);
  // Ten times as long costs the loop no more instructions once its period is
  // known; run tick by tick, each tick costs some.
  const sim::Time tenTimes = sim::seconds(10) + sim::microseconds(337);
  IdleRun passedLonger = idleRun(true, tenTimes, 0);
  expectAlike(passedLonger, idleRun(false, tenTimes, 0));
  EXPECT_LT(passedLonger.executed - passed.executed, 100u);
}

TEST(IdlePeriods, AnInterruptThatChangesNoMemoryBreaksThePeriodAndTheLoopGoesOnAtOnce) {
  // IRQ1 every 7.3 ms reads a register: the row of ticks breaks and the
  // loop comes back at another of its ticks.
  const sim::Time look = sim::microseconds(7300);
  const sim::Time doneAt = sim::milliseconds(700) + sim::microseconds(91);
  const sim::Time tenTimes = sim::milliseconds(7000) + sim::microseconds(91);
  IdleRun passed = idleRun(true, doneAt, look);
  IdleRun run = idleRun(false, doneAt, look);
  expectAlike(passed, run);
  EXPECT_GT(passed.entries.size(), 800u);
  IdleRun passedLonger = idleRun(true, tenTimes, look);
  IdleRun runLonger = idleRun(false, tenTimes, look);
  expectAlike(passedLonger, runLonger);
  // About 7.6 ticks between two of IRQ1's entries. Back in the kept period
  // at the first tick after each, five of them pass at once; waiting for the
  // period to show again (six ticks) would leave none to pass. The entries'
  // own instructions run either way.
  EXPECT_LT((passedLonger.executed - passed.executed) * 3, (runLonger.executed - run.executed) * 2);
}

TEST(IdlePeriods, PassNoFurtherThanTheStackTheyWatchAllows) {
  // Between IRQ1's entries the ticks pass at once up to the last one before
  // the next; the loop may be left there only in its own frame, never inside
  // a function whose saved words it cannot know. IRQ1 every 31.7 ms: two
  // periods and a half.
  const sim::Time look = sim::microseconds(31700);
  for (sim::Time doneAt : {sim::milliseconds(700) + sim::microseconds(91), sim::milliseconds(2000) + sim::microseconds(3)}) {
    IdleRun passed = idleRun(true, doneAt, look, kCallingLoop);
    IdleRun run = idleRun(false, doneAt, look, kCallingLoop);
    expectAlike(passed, run);
    EXPECT_EQ(run.r4AtEnd, 0u);
    EXPECT_LT(passed.executed, run.executed);
  }
}

}  // namespace
