// The board image's stack with every interrupt level nested on top of main's
// deepest console output: under the 1 KiB stack and under the static estimate,
// which must be an upper bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/image_loader.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"

namespace {

std::uint32_t address(const sim::BoardImage& image, const std::string& name) {
  for (const auto& [at, symbol] : image.symbols) {
    if (symbol == name) return at & ~1u;
  }
  ADD_FAILURE() << "no symbol " << name << " in the image";
  return 0;
}

// The worst case of the static estimate, or 0 when there is no report.
unsigned estimate() {
  std::ifstream in(TL500_STACK_REPORT_PATH);
  std::stringstream text;
  text << in.rdbuf();
  std::smatch m;
  std::string s = text.str();
  if (!std::regex_search(s, m, std::regex(R"(Worst case: \*\*(\d+) bytes)"))) return 0;
  return static_cast<unsigned>(std::stoul(m[1]));
}

constexpr const char* kKey0Session =
    "wait console \"x> quit\\r\\n\\r\\n\"\nsend console \"0\"\nwait console \"x> quit\\r\\n\\r\\n\"\n";

// A board running the image through key 0's session (the system information:
// formatted clock lines, the deepest console output of the menus).
struct Key0Session {
  explicit Key0Session(const sim::BoardImage& image)
      : core(board, image), runner(board, sim::parseScript(kKey0Session, "nesting")) {
    runner.start();
  }
  bool afterMenu() { return board.console().received().find("x> quit") != std::string::npos; }

  sim::Board board;
  sim::CortexM3 core;
  sim::ScriptRunner runner;
};

// The lowest stack pointer at which the console sink is entered once the menu
// is up, over the whole of key 0's session.
std::uint32_t deepestSinkEntry(const sim::BoardImage& image, std::uint32_t sink) {
  Key0Session session(image);
  std::uint32_t deepest = image.stackTop;
  session.core.addBreakpoint(sink);
  try {
    for (int hits = 0; hits < 100'000; ++hits) {
      if (session.core.run() != sim::CortexM3::Halt::Breakpoint) break;
      if (session.afterMenu()) deepest = std::min(deepest, session.core.reg(13));
    }
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Completed) << stop.what();
  }
  return deepest;
}

TEST(BoardImageStack, EveryInterruptLevelNestedOnMainsDeepestConsoleOutputStaysUnderTheEstimate) {
  sim::BoardImage image;
  try {
    image = sim::loadImage(TL500_IMAGE_PATH);
  } catch (const sim::ImageError& e) {
    GTEST_SKIP() << e.what() << ": build the target preset first";
  }
  const std::uint32_t sink = address(image, "fputc");
  // A first run finds where main's console output goes deepest; the same
  // session runs again (the board is deterministic) and stops there.
  const std::uint32_t deepest = deepestSinkEntry(image, sink);
  ASSERT_LT(deepest, image.stackTop);

  // Stopped in the sink at its deepest, pend the interrupt levels one by one
  // from the lowest, each as the one below has just been entered: SysTick,
  // TIM2, USART1, USART3.
  Key0Session session(image);
  sim::CortexM3& core = session.core;
  const char* const handlers[] = {"SysTick_Handler", "TIM2_IRQHandler", "USART1_IRQHandler", "USART3_IRQHandler"};
  const int lines[] = {sim::InterruptController::kSysTick, sim::InterruptController::irq(28),
                       sim::InterruptController::irq(37), sim::InterruptController::irq(39)};
  unsigned nested = 0;
  try {
    core.addBreakpoint(sink);
    bool there = false;
    for (int hits = 0; hits < 100'000 && !there; ++hits) {
      ASSERT_EQ(core.run(), sim::CortexM3::Halt::Breakpoint);
      there = session.afterMenu() && core.reg(13) == deepest;
    }
    ASSERT_TRUE(there) << "the second run never reached the sink at its deepest";
    core.removeBreakpoint(sink);
    for (int level = 0; level < 4; ++level) {
      std::uint32_t entry = address(image, handlers[level]);
      core.addBreakpoint(entry);
      session.board.interrupts().setPending(lines[level]);
      ASSERT_EQ(core.run(), sim::CortexM3::Halt::Breakpoint);
      core.removeBreakpoint(entry);
      nested = static_cast<unsigned>(session.board.interrupts().depth());
    }
    core.run();
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Completed) << stop.what();
  }
  EXPECT_EQ(nested, 4u);
  unsigned highWater = core.stackHighWater();
  EXPECT_LT(highWater, 1024u);
  // The frames are there: at least the sink's depth plus the eight words the
  // core stacks for each of the four nested exceptions.
  EXPECT_GE(highWater, (image.stackTop - deepest) + 4u * 32u);
  if (unsigned bound = estimate(); bound != 0) {
    EXPECT_LE(highWater, bound);
  }
  RecordProperty("stack_high_water", static_cast<int>(highWater));
  std::printf("stack high-water mark with four nested handlers: %u bytes (estimate %u)\n", highWater, estimate());
}

}  // namespace
