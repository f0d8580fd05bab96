// The board image's stack with every interrupt level nested on top of main's
// console output: under the 1 KiB stack and under the static estimate, which
// must be an upper bound.
#include <gtest/gtest.h>

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

TEST(BoardImageStack, EveryInterruptLevelNestedOnMainsConsoleOutputStaysUnderTheEstimate) {
  sim::BoardImage image;
  try {
    image = sim::loadImage(TL500_IMAGE_PATH);
  } catch (const sim::ImageError& e) {
    GTEST_SKIP() << e.what() << ": build the target preset first";
  }
  sim::Board board;
  sim::CortexM3 core(board, image);
  sim::ScriptRunner runner(board, sim::parseScript("wait console \"x> quit\\r\\n\\r\\n\"\nsend console \"0\"\n"
                                                   "wait console \"x> quit\\r\\n\\r\\n\"\n",
                                                   "nesting"));
  runner.start();

  // Stop in the console sink while key 0's output is printed, then pend the
  // interrupt levels one by one from the lowest, each as the one below has
  // just been entered: SysTick, TIM2, USART1, USART3.
  const std::uint32_t sink = address(image, "fputc");
  const char* const handlers[] = {"SysTick_Handler", "TIM2_IRQHandler", "USART1_IRQHandler", "USART3_IRQHandler"};
  const int lines[] = {sim::InterruptController::kSysTick, sim::InterruptController::irq(28),
                       sim::InterruptController::irq(37), sim::InterruptController::irq(39)};
  unsigned nested = 0;
  try {
    // The sink called from the formatted output of key 0's clock lines (with
    // every interrupt priority set up), the deepest call of a session; a plain
    // line goes the shallow way (under 60 bytes below the top, against about
    // 190 for the formatted path).
    core.addBreakpoint(sink);
    for (int hits = 0; hits < 5000; ++hits) {
      ASSERT_EQ(core.run(), sim::CortexM3::Halt::Breakpoint);
      bool afterMenu = board.console().received().find("x> quit") != std::string::npos;
      if (afterMenu && core.reg(13) <= image.stackTop - 160) break;
    }
    core.removeBreakpoint(sink);
    for (int level = 0; level < 4; ++level) {
      std::uint32_t entry = address(image, handlers[level]);
      core.addBreakpoint(entry);
      board.interrupts().setPending(lines[level]);
      ASSERT_EQ(core.run(), sim::CortexM3::Halt::Breakpoint);
      core.removeBreakpoint(entry);
      nested = static_cast<unsigned>(board.interrupts().depth());
    }
    core.run();
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Completed) << stop.what();
  }
  EXPECT_EQ(nested, 4u);
  unsigned highWater = core.stackHighWater();
  EXPECT_LT(highWater, 1024u);
  EXPECT_GT(highWater, 280u);  // more than a plain session: the frames are there
  if (unsigned bound = estimate(); bound != 0) {
    EXPECT_LE(highWater, bound);
  }
  RecordProperty("stack_high_water", static_cast<int>(highWater));
  std::printf("stack high-water mark with four nested handlers: %u bytes (estimate %u)\n", highWater, estimate());
}

}  // namespace
