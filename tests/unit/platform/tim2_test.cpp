// TIM2, the actuator blink tick: the firmware's TIM_Configuration on the
// crystal clock and on the MSI fallback.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hw_config.h"
#include "platform.h"
#include "sim/board.h"
#include "sim/host/firmware_vectors.h"

namespace {

using sim::InterruptController;

constexpr std::uint64_t kUpdateCycles = 60'000ull * 500ull;  // prescaler 59999, auto-reload 499

class Tim2Tick : public ::testing::Test {
 protected:
  void bringUp(bool crystal) {
    board = std::make_unique<sim::Board>(sim::BoardConfig{.crystal = crystal, .timing = {}, .vectors = sim::firmwareVectors()});
    board->interrupts().onEntry([this](int exception) {
      if (exception == InterruptController::irq(TIM2_IRQn)) updates.push_back(board->clock().cycles());
    });
    SystemInit();
    RCC_Configuration();
    NVIC_Configuration();
    TIM_Configuration();
    configured = board->clock().cycles();
  }

  void waitForUpdates(std::size_t n) {
    while (updates.size() < n) Platform_IdleHint();
  }

  std::unique_ptr<sim::Board> board;
  std::vector<std::uint64_t> updates;  // core cycle count at each TIM2_IRQHandler entry
  std::uint64_t configured = 0;
};

TEST_F(Tim2Tick, NoInterruptFollowsTheConfigurationAtOnce) {
  bringUp(true);
  for (int i = 0; i < 100; ++i) (void)static_cast<std::uint16_t>(TIM2->CNT);
  EXPECT_TRUE(updates.empty());
  EXPECT_EQ(TIM2->SR & TIM_SR_UIF, 0);
}

TEST_F(Tim2Tick, UpdatesComeEveryNineHundredThirtySevenAndAHalfMilliseconds) {
  bringUp(true);
  ASSERT_EQ(board->clock().coreHz(), 32'000'000u);
  sim::Time start = board->clock().now();
  waitForUpdates(2);
  // The count restarted a few register accesses before TIM_Configuration returned.
  EXPECT_NEAR(static_cast<double>(updates[0] - configured), static_cast<double>(kUpdateCycles), 64.0);
  EXPECT_NEAR(sim::toSeconds(board->clock().now() - start), 2 * 0.9375, 1e-5);
  EXPECT_EQ(updates[1] - updates[0], kUpdateCycles);
  // The handler cleared the flag each time.
  EXPECT_EQ(TIM2->SR & TIM_SR_UIF, 0);
}

TEST_F(Tim2Tick, OnTheMsiFallbackTheSameCountsTakeFifteenTimesLonger) {
  bringUp(false);
  ASSERT_EQ(board->clock().coreHz(), 2'097'152u);
  waitForUpdates(1);
  sim::Time first = board->clock().now();
  waitForUpdates(2);
  EXPECT_EQ(updates[1] - updates[0], kUpdateCycles);
  EXPECT_EQ(board->clock().now() - first, sim::cyclesToTime(kUpdateCycles, 2'097'152));
  EXPECT_NEAR(sim::toSeconds(board->clock().now() - first), 14.305, 0.001);
}

}  // namespace
