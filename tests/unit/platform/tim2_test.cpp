// TIM2, the actuator blink tick: the firmware's TIM_Configuration on the
// crystal clock and on the MSI fallback, and the counter behind it.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hw_config.h"
#include "platform.h"
#include "sim/board.h"
#include "sim/core/stop.h"
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

// ---------------------------------------------------------------- the counter

class Tim2Counter : public ::testing::Test {
 protected:
  Tim2Counter() { RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM2, ENABLE); }
  sim::Board board;  // MSI, 2,097,152 Hz on APB1
};

TEST_F(Tim2Counter, CountsAtThePrescaledClockAndTheUpdateRestartsTheCount) {
  TIM2->ARR = 999;
  TIM2->PSC = 3;  // preloaded: in force from the update event only
  TIM2->EGR = TIM_EGR_UG;
  EXPECT_NE(TIM2->SR & TIM_SR_UIF, 0);  // UG counts as an update
  TIM2->SR = static_cast<std::uint16_t>(~TIM_SR_UIF);
  TIM2->CR1 = TIM_CR1_CEN;
  board.clock().spendCycles(400);
  // 400 cycles, plus the read itself, at 4 cycles a count.
  EXPECT_EQ(TIM2->CNT, 101);
  board.clock().spendCycles(4 * 1000);
  EXPECT_EQ(TIM2->CNT, 102);
  EXPECT_NE(TIM2->SR & TIM_SR_UIF, 0);
  EXPECT_EQ(board.tim2().updates(), 2u);
  TIM2->CNT = 0;
  board.clock().spendCycles(396);
  EXPECT_EQ(TIM2->CNT, 100);
}

TEST_F(Tim2Counter, ClearingTheUpdateFlagLeavesTheOtherFlags) {
  TIM2->EGR = TIM_EGR_UG | (1u << 1);  // update and capture/compare 1 events
  EXPECT_EQ(TIM2->SR & 0x3, 0x3);
  TIM_ClearFlag(TIM2, TIM_FLAG_Update);
  EXPECT_EQ(TIM2->SR & 0x3, 0x2);
}

TEST_F(Tim2Counter, DownCountingStopsTheRunNamingTheRegister) {
  try {
    TIM2->CR1 = TIM_CR1_DIR;
    FAIL() << "down-counting was accepted";
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
    EXPECT_NE(std::string(stop.what()).find("TIM2 CR1"), std::string::npos) << stop.what();
  }
}

}  // namespace
