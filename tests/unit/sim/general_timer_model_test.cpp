// The general-purpose timer model (TIM2): counting at the prescaled clock, the
// preloaded prescaler, the update event and its flag, and the settings this
// board's model refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform.h"
#include "sim/board.h"
#include "sim/core/stop.h"

namespace {

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
