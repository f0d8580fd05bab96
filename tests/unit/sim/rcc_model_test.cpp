// The clock tree model and its companions (flash access control, regulator):
// oscillator start-up in virtual time, the clock switch, refusals the chip
// makes, peripheral resets, and reserved settings that stop the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/stop.h"
#include "sim/peripherals/flash_interface.h"
#include "sim/peripherals/pwr.h"
#include "sim/peripherals/rcc.h"

namespace {

using sim::Rcc;

constexpr std::uint32_t CR = 0x00, CFGR = 0x08, APB1RSTR = 0x18;
constexpr std::uint32_t HSEON = 1u << 16, HSERDY = 1u << 17, PLLON = 1u << 24, PLLRDY = 1u << 25;
constexpr std::uint32_t SW_MSI = 0, SW_PLL = 3, SWS = 3u << 2;
constexpr std::uint32_t PLL_HSE_X8_DIV3 = (1u << 16) | (3u << 18) | (2u << 22);
constexpr std::uint32_t kMsiHz = 2'097'152;

class ClockTree : public ::testing::Test {
 protected:
  std::uint32_t reg(std::uint32_t offset) { return rcc.read(offset, 4); }
  void set(std::uint32_t offset, std::uint32_t bits) { rcc.write(offset, 4, reg(offset) | bits); }
  void clear(std::uint32_t offset, std::uint32_t bits) { rcc.write(offset, 4, reg(offset) & ~bits); }
  void runFor(sim::Time t) { clock.advanceTo(clock.now() + t); }

  // Crystal, PLL at 32 MHz, PLL as system clock, as the clock set-up does.
  void runOnPll() {
    set(CR, HSEON);
    runFor(config.crystalStartup);
    rcc.write(CFGR, 4, PLL_HSE_X8_DIV3);
    set(CR, PLLON);
    runFor(config.pllLock);
    set(CFGR, SW_PLL);
    runFor(sim::microseconds(5));
    ASSERT_EQ(reg(CFGR) & SWS, SW_PLL << 2);
  }

  sim::Clock clock;
  sim::RccConfig config;
  Rcc rcc{clock, config};
};

TEST_F(ClockTree, TheCrystalReportsReadyOnlyOnceItsStartUpTimeHasPassed) {
  set(CR, HSEON);
  runFor(config.crystalStartup - 1);
  EXPECT_EQ(reg(CR) & HSERDY, 0u);
  runFor(1);
  EXPECT_NE(reg(CR) & HSERDY, 0u);
}

// The board's clock against the outside world's follows the oscillator that
// drives SYSCLK: MSI after reset, the crystal once the PLL runs from it.
TEST(ClockTreeOscillatorError, OutsideTimeFollowsTheErrorOfTheOscillatorDrivingTheSystemClock) {
  sim::Clock clock;
  sim::RccConfig config{.msiErrorPpb = -21'000'000, .hsiErrorPpb = 9'000'000, .hseErrorPpb = 37'000};
  Rcc rcc{clock, config};
  EXPECT_EQ(clock.outside(sim::seconds(1)), sim::milliseconds(979));
  rcc.write(CR, 4, rcc.read(CR, 4) | HSEON);
  clock.advanceTo(clock.now() + config.crystalStartup);
  EXPECT_EQ(clock.oscillatorErrorPpb(), -21'000'000) << "the crystal runs, but MSI still drives SYSCLK";
  rcc.write(CFGR, 4, PLL_HSE_X8_DIV3);
  rcc.write(CR, 4, rcc.read(CR, 4) | PLLON);
  clock.advanceTo(clock.now() + config.pllLock);
  rcc.write(CFGR, 4, rcc.read(CFGR, 4) | SW_PLL);
  clock.advanceTo(clock.now() + sim::microseconds(5));
  ASSERT_EQ(rcc.read(CFGR, 4) & SWS, SW_PLL << 2);
  EXPECT_EQ(clock.outside(sim::seconds(1)), sim::seconds(1) + sim::microseconds(37));
  rcc.write(CFGR, 4, (rcc.read(CFGR, 4) & ~3u) | SW_MSI);
  clock.advanceTo(clock.now() + sim::microseconds(5));
  EXPECT_EQ(clock.oscillatorErrorPpb(), -21'000'000) << "back on MSI";
}

TEST(ClockTreeWithoutCrystal, TheHseNeverBecomesReadyAndThePllOnItNeverLocks) {
  sim::Clock clock;
  Rcc rcc{clock, sim::RccConfig{.crystal = false}};
  rcc.write(CFGR, 4, PLL_HSE_X8_DIV3);
  rcc.write(CR, 4, rcc.read(CR, 4) | HSEON | PLLON);
  clock.advanceTo(sim::seconds(1));
  EXPECT_EQ(rcc.read(CR, 4) & (HSERDY | PLLRDY), 0u);
  EXPECT_EQ(rcc.sysclkHz(), kMsiHz);
}

TEST_F(ClockTree, APllSwitchedOnBeforeItsCrystalIsReadyLocksAfterTheCrystalStarts) {
  rcc.write(CFGR, 4, PLL_HSE_X8_DIV3);
  set(CR, HSEON | PLLON);
  runFor(config.crystalStartup + config.pllLock - 1);
  EXPECT_EQ(reg(CR) & PLLRDY, 0u);
  runFor(1);
  EXPECT_NE(reg(CR) & PLLRDY, 0u);
}

TEST_F(ClockTree, SwitchingToThePllRunsTheCoreAt32MHzAndTellsTheModelsCountingOnClocks) {
  int changes = 0;
  clock.onClockChange([&] { ++changes; });
  runOnPll();
  EXPECT_EQ(clock.coreHz(), 32'000'000u);
  EXPECT_EQ(rcc.pclk1Hz(), 32'000'000u);
  EXPECT_EQ(rcc.pclk2Hz(), 32'000'000u);
  EXPECT_EQ(changes, 1);
}

TEST_F(ClockTree, ThePllAndItsCrystalStayOnWhileThePllIsTheSystemClock) {
  runOnPll();
  clear(CR, PLLON | HSEON);
  EXPECT_EQ(reg(CR) & (PLLON | PLLRDY | HSEON | HSERDY), PLLON | PLLRDY | HSEON | HSERDY);
  EXPECT_EQ(clock.coreHz(), 32'000'000u);

  // Once MSI is back as the system clock, both can be stopped.
  rcc.write(CFGR, 4, (reg(CFGR) & ~3u) | SW_MSI);
  runFor(sim::microseconds(5));
  ASSERT_EQ(reg(CFGR) & SWS, 0u);
  clear(CR, PLLON | HSEON);
  EXPECT_EQ(reg(CR) & (PLLON | PLLRDY | HSEON | HSERDY), 0u);
  EXPECT_EQ(clock.coreHz(), kMsiHz);
}

TEST_F(ClockTree, ThePllSetUpAgainAtAnotherRateRunsTheCoreAndBusesAtTheNewRate) {
  runOnPll();
  rcc.write(CFGR, 4, (reg(CFGR) & ~3u) | SW_MSI);
  runFor(sim::microseconds(5));
  clear(CR, PLLON);
  constexpr std::uint32_t kPllHseX4Div2 = (1u << 16) | (1u << 18) | (1u << 22);
  rcc.write(CFGR, 4, kPllHseX4Div2);
  set(CR, PLLON);
  runFor(config.pllLock);
  set(CFGR, SW_PLL);
  runFor(sim::microseconds(5));
  ASSERT_EQ(reg(CFGR) & SWS, SW_PLL << 2);
  EXPECT_EQ(clock.coreHz(), 24'000'000u);
  EXPECT_EQ(rcc.pclk2Hz(), 24'000'000u);
}

TEST_F(ClockTree, ThePllSettingsCannotChangeWhileThePllRuns) {
  runOnPll();
  rcc.write(CFGR, 4, (reg(CFGR) & ~PLL_HSE_X8_DIV3) | SW_PLL);  // PLL source HSI, x3, divider code 0
  EXPECT_EQ(reg(CFGR) & PLL_HSE_X8_DIV3, PLL_HSE_X8_DIV3);
  EXPECT_EQ(rcc.sysclkHz(), 32'000'000u);
}

TEST_F(ClockTree, BusPrescalersDivideTheClocksAndTheApb1TimerClockDoublesWhenDivided) {
  rcc.write(CFGR, 4, (0x8u << 4) | (0x4u << 8) | (0x5u << 11));  // HCLK /2, PCLK1 /2, PCLK2 /4
  EXPECT_EQ(clock.coreHz(), kMsiHz / 2);
  EXPECT_EQ(rcc.pclk1Hz(), kMsiHz / 4);
  EXPECT_EQ(rcc.pclk2Hz(), kMsiHz / 8);
  EXPECT_EQ(rcc.apb1TimerHz(), kMsiHz / 2);
  rcc.write(CFGR, 4, 0xFu << 4);  // HCLK /512
  EXPECT_EQ(clock.coreHz(), kMsiHz / 512);
  EXPECT_EQ(rcc.apb1TimerHz(), kMsiHz / 512);
}

TEST_F(ClockTree, SwitchingOnThePllWithAReservedMultiplierOrDividerStopsTheRunNamingTheRegister) {
  set(CR, HSEON);
  runFor(config.crystalStartup);
  for (std::uint32_t cfgr : {(1u << 16) | (9u << 18) | (1u << 22), (1u << 16) | (3u << 18)}) {
    rcc.write(CFGR, 4, cfgr);
    try {
      set(CR, PLLON);
      ADD_FAILURE() << "no fault for CFGR " << cfgr;
    } catch (const sim::Stop& stop) {
      EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
      std::string message = stop.what();
      EXPECT_NE(message.find("RCC"), std::string::npos) << message;
      EXPECT_NE(message.find("CFGR"), std::string::npos) << message;
    }
    EXPECT_EQ(reg(CR) & PLLON, 0u);
  }
}

class CountingPeripheral : public sim::Peripheral {
 public:
  std::string name() const override { return "counter"; }
  std::uint32_t read(std::uint32_t, unsigned) override { return 0; }
  void write(std::uint32_t, unsigned, std::uint32_t) override {}
  void reset() override { ++resets; }
  int resets = 0;
};

TEST_F(ClockTree, SettingAResetBitResetsOnlyItsPeripheralOnceWhileHeld) {
  CountingPeripheral i2c1, i2c2;
  rcc.attach(Rcc::Bus::APB1, 1u << 21, i2c1);
  rcc.attach(Rcc::Bus::APB1, 1u << 22, i2c2);
  set(APB1RSTR, 1u << 21);
  set(APB1RSTR, 1u << 28);  // another bit while I2C1 is held in reset
  clear(APB1RSTR, (1u << 21) | (1u << 28));
  EXPECT_EQ(i2c1.resets, 1);
  EXPECT_EQ(i2c2.resets, 0);
}

TEST(FlashAccessControl, WaitStateAndPrefetchNeed64BitAccessSwitchedOnFirst) {
  sim::FlashInterface flash;
  flash.write(0x00, 4, 0x7);  // all three at once: 64-bit access was not on yet
  EXPECT_EQ(flash.acr(), 0x4u);
  flash.write(0x00, 4, 0x0);
  flash.write(0x00, 4, 0x3);  // wait state and prefetch alone
  EXPECT_EQ(flash.acr(), 0x0u);
  flash.write(0x00, 4, 0x4);
  flash.write(0x00, 4, 0x6);
  flash.write(0x00, 4, 0x7);
  EXPECT_EQ(flash.read(0x00, 4), 0x7u);
}

TEST(Regulator, ReportsScalingUntilTheNewRangeHasSettledAndRefusesTheReservedRange) {
  sim::Clock clock;
  sim::Pwr pwr{clock, sim::microseconds(50)};
  EXPECT_EQ(pwr.voltageRange(), 2u);
  pwr.write(0x00, 4, 1u << 11);  // range 1
  EXPECT_EQ(pwr.voltageRange(), 1u);
  EXPECT_NE(pwr.read(0x04, 4) & 0x10u, 0u);
  clock.advanceTo(sim::microseconds(50) - 1);
  EXPECT_NE(pwr.read(0x04, 4) & 0x10u, 0u);
  clock.advanceTo(sim::microseconds(50));
  EXPECT_EQ(pwr.read(0x04, 4) & 0x10u, 0u);
  EXPECT_THROW(pwr.write(0x00, 4, 0), sim::Stop);
}

}  // namespace
