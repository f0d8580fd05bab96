// The chip's operating limits on the clock tree: the firmware's clock set-up
// stays inside them, and each way of raising the clock out of order ends the
// run naming the registers and the limit crossed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "sim/board.h"
#include "sim/core/stop.h"
#include "system_init.h"

namespace {

// Polls until the bits read as expected (the model settles in virtual time).
void waitFor(const IoReg<std::uint32_t>& reg, std::uint32_t mask, std::uint32_t expected) {
  for (int i = 0; i < 100'000 && (reg & mask) != expected; ++i) {
  }
  ASSERT_EQ(reg & mask, expected);
}

struct Step {
  bool waitState = true;
  bool range1 = true;
  bool waitForRegulator = true;
  std::uint32_t pllMul = RCC_CFGR_PLLMUL8;
};

// The crystal, the PLL at 32 MHz and the switch to it, with the steps that make
// it safe left out as `step` says.
void raiseClock(const Step& step) {
  RCC->CR = RCC->CR | RCC_CR_HSEON;
  waitFor(RCC->CR, RCC_CR_HSERDY, RCC_CR_HSERDY);
  if (step.waitState) {
    FLASH->ACR = FLASH->ACR | FLASH_ACR_ACC64;
    FLASH->ACR = FLASH->ACR | FLASH_ACR_LATENCY;
  }
  RCC->APB1ENR = RCC->APB1ENR | RCC_APB1ENR_PWREN;
  if (step.range1) {
    PWR->CR = PWR_CR_VOS_RANGE1;
    if (step.waitForRegulator) waitFor(PWR->CSR, PWR_CSR_VOSF, 0);
  }
  RCC->CFGR = RCC_CFGR_PLLSRC | step.pllMul | RCC_CFGR_PLLDIV3;
  RCC->CR = RCC->CR | RCC_CR_PLLON;
  waitFor(RCC->CR, RCC_CR_PLLRDY, RCC_CR_PLLRDY);
  RCC->CFGR = RCC->CFGR | RCC_CFGR_SW_PLL;
  waitFor(RCC->CFGR, RCC_CFGR_SWS, RCC_CFGR_SWS_PLL);
}

// Runs `action` and returns the message of the Fault it must stop with.
std::string faultOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
    return stop.what();
  }
  ADD_FAILURE() << "the limit was crossed without stopping the run";
  return {};
}

void expectMentions(const std::string& message, const std::vector<std::string>& parts) {
  for (const auto& part : parts) EXPECT_NE(message.find(part), std::string::npos) << message;
}

TEST(OperatingLimits, TheFirmwaresClockSetUpStaysInsideThemAlsoWhenRunTwice) {
  sim::Board board;
  SystemInit();
  EXPECT_EQ(board.clock().coreHz(), 32'000'000u);
  SystemInit();
  EXPECT_EQ(board.clock().coreHz(), 32'000'000u);
}

TEST(OperatingLimits, RaisingTheClockOutOfOrderStopsNamingTheRegistersAndTheLimit) {
  struct Case {
    const char* what;
    Step step;
    std::vector<std::string> mentions;
  };
  const std::vector<Case> cases{
      {"no wait state", {.waitState = false}, {"HCLK 32000000 Hz", "flash wait state", "16000000", "FLASH_ACR 0x"}},
      {"regulator left in range 2", {.range1 = false}, {"PLL VCO 96000000 Hz", "voltage range 2", "PWR_CR 0x00001000"}},
      {"regulator not settled", {.waitForRegulator = false}, {"PLL VCO", "regulator still moving"}},
      {"VCO above 96 MHz",
       {.pllMul = 4u << RCC_CFGR_PLLMUL_Pos /* x12 */},
       {"PLL VCO 144000000 Hz", "96000000", "RCC_CFGR 0x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Board board;
    expectMentions(faultOf([&] { raiseClock(c.step); }), c.mentions);
  }
}

TEST(OperatingLimits, LoweringTheWaitStateOrTheVoltageUnderAFastClockStops) {
  {
    sim::Board board;
    SystemInit();
    expectMentions(faultOf([] { FLASH->ACR = FLASH->ACR & ~FLASH_ACR_LATENCY; }), {"flash wait state"});
  }
  {
    sim::Board board;
    SystemInit();
    expectMentions(faultOf([] { PWR->CR = 2u << PWR_CR_VOS_Pos; }), {"above", "voltage range 2"});
  }
}

TEST(OperatingLimits, TheMsiFallbackRunsInsideTheLimitsAtItsHighestRangeToo) {
  sim::Board board{sim::BoardConfig{.crystal = false, .timing = {}, .vectors = {}}};
  SystemInit();
  EXPECT_EQ(board.clock().coreHz(), 2'097'152u);
  // MSI range 6 (4.194 MHz) needs the wait state in range 2 only above 8 MHz.
  RCC->ICSCR = (RCC->ICSCR & ~RCC_ICSCR_MSIRANGE) | (6u << RCC_ICSCR_MSIRANGE_Pos);
  EXPECT_EQ(board.clock().coreHz(), 4'194'304u);
  RCC->APB1ENR = RCC->APB1ENR | RCC_APB1ENR_PWREN;
  // Range 3 allows 4.2 MHz, but only with a wait state.
  expectMentions(faultOf([] { PWR->CR = 3u << PWR_CR_VOS_Pos; }),
                 {"HCLK 4194304 Hz", "flash wait state", "voltage range 3"});
}

}  // namespace
