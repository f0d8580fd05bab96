// The sensor chips' conversion and wake-up times on a board built with a
// timing seed: nominal without one (the times every transcript was made
// with), somewhere between the datasheet's typical and maximum with one, the
// same for the same seed and spread across seeds. The chips keep their own
// time; the board's clock, running from its crystal once the clock set-up has
// run, counts it within the crystal's 50 ppm.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "i2c_target_master.h"
#include "platform.h"
#include "sim/board.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::microseconds;
using sim::milliseconds;
using sim::Time;
using testing_i2c::readBytes;
using testing_i2c::readRegisters;
using testing_i2c::writeBytes;

sim::BoardConfig configFor(std::optional<std::uint64_t> seed) {
  sim::BoardConfig config;
  if (seed) config.timing = sim::TimingTolerances{*seed};
  return config;
}

// A chip's own time bound as the board's clock may count it: the crystal
// within 50 ppm either way.
Time atMost(Time t) { return t + t / 20'000; }
Time atLeast(Time t) { return t - t / 20'000; }

// What one board's chips take, measured through their bus interface, on the
// board's clock running from the crystal as the firmware sets it up.
struct ChipTimes {
  Time lightHighResolution = 0;
  Time lightLowResolution = 0;
  std::vector<Time> temperature14Bit;  // several conversions in a row
  Time humidity8Bit = 0;
  Time compass = 0;  // one single measurement, to 10 us
  Time compassSecond = 0;
  Time pressurePeriod = 0;
  Time motionWakeUp = 0;  // to 10 us

  bool operator==(const ChipTimes&) const = default;
};

// Steps the board's clock until `done` holds; the time it took, to `step`.
template <typename Done>
Time timeUntil(sim::Clock& clock, Time step, Time limit, Done done) {
  Time start = clock.now();
  while (!done()) {
    if (clock.now() - start > limit) return ~Time{0};
    clock.advanceTo(clock.now() + step);
  }
  return clock.now() - start;
}

ChipTimes measure(std::optional<std::uint64_t> seed) {
  sim::Board board(configFor(seed));
  SystemInit();
  EXPECT_EQ(RCC->CFGR & RCC_CFGR_SWS, RCC_CFGR_SWS_PLL);
  sim::Clock& clock = board.clock();
  sim::SensorChips& chips = board.sensors();
  ChipTimes times;

  sim::Bh17& light = chips.bh17();
  EXPECT_TRUE(writeBytes(light, clock, {0x10}));
  times.lightHighResolution = light.measurementTime();
  EXPECT_TRUE(writeBytes(light, clock, {0x13}));
  times.lightLowResolution = light.measurementTime();

  // Hold master: the clock is held low for the whole conversion.
  sim::Htu21& humidity = chips.htu21();
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(writeBytes(humidity, clock, {0xE3}));
    times.temperature14Bit.push_back(readBytes(humidity, clock, 3).stretched);
  }
  EXPECT_TRUE(writeBytes(humidity, clock, {0xE6, 0x03}));
  EXPECT_TRUE(writeBytes(humidity, clock, {0xE5}));
  times.humidity8Bit = readBytes(humidity, clock, 3).stretched;

  sim::Mpu9150& motion = chips.mpu9150();
  EXPECT_TRUE(writeBytes(motion, clock, {0x37, 0x02}));
  motion.setAccelerationRaw(0x0102, 0, 0);
  EXPECT_TRUE(writeBytes(motion, clock, {0x6B, 0x00}));
  times.motionWakeUp = timeUntil(clock, microseconds(10), milliseconds(100), [&] { return motion.reg(0x3B) != 0; });
  sim::Mpu9150Magnetometer& compass = motion.magnetometer();
  for (Time* t : {&times.compass, &times.compassSecond}) {
    EXPECT_TRUE(writeBytes(compass, clock, {0x0A, 0x01}));
    *t = timeUntil(clock, microseconds(10), milliseconds(20), [&] { return (compass.reg(0x02) & 1) != 0; });
    EXPECT_FALSE(readRegisters(compass, clock, 0x03, 7).empty());  // results and ST2: DRDY cleared
  }

  sim::Lps25h& pressure = chips.lps25h();
  EXPECT_TRUE(writeBytes(pressure, clock, {0x20, 0xC0}));  // 25 Hz
  times.pressurePeriod = pressure.samplePeriod().value_or(0);
  return times;
}

TEST(SensorTiming, WithoutASeedEveryChipTakesItsNominalTime) {
  ChipTimes t = measure(std::nullopt);
  EXPECT_EQ(t.lightHighResolution, milliseconds(120));
  EXPECT_EQ(t.lightLowResolution, milliseconds(16));
  EXPECT_EQ(t.temperature14Bit, std::vector<Time>(4, milliseconds(50)));
  EXPECT_EQ(t.humidity8Bit, milliseconds(3));
  EXPECT_EQ(t.compass, microseconds(9000));
  EXPECT_EQ(t.compassSecond, microseconds(9000));
  EXPECT_EQ(t.pressurePeriod, sim::fraction(1, 25));
  EXPECT_EQ(t.motionWakeUp, microseconds(130));  // one sample, 125 us, seen at the next 10 us step
}

TEST(SensorTiming, WithASeedEachTimeFallsInItsRangeTheSameForTheSameSeedAndSpreadAcrossSeeds) {
  std::set<Time> light, temperature, compass, pressure, wakeUp;
  bool temperatureVariesWithinARun = false;
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    ChipTimes t = measure(seed);
    EXPECT_GE(t.lightHighResolution, atLeast(milliseconds(120)));
    EXPECT_LE(t.lightHighResolution, atMost(milliseconds(180)));
    EXPECT_GE(t.lightLowResolution, atLeast(milliseconds(16)));
    EXPECT_LE(t.lightLowResolution, atMost(milliseconds(24)));
    for (Time c : t.temperature14Bit) {
      EXPECT_GE(c, atLeast(milliseconds(44)));
      EXPECT_LE(c, atMost(milliseconds(50)));
    }
    temperatureVariesWithinARun |= std::set<Time>(t.temperature14Bit.begin(), t.temperature14Bit.end()).size() > 1;
    EXPECT_GE(t.humidity8Bit, atLeast(milliseconds(2)));
    EXPECT_LE(t.humidity8Bit, atMost(milliseconds(3)));
    for (Time c : {t.compass, t.compassSecond}) {
      EXPECT_GE(c, atLeast(microseconds(7300)));
      EXPECT_LE(c, atMost(microseconds(9000)) + microseconds(10));
    }
    EXPECT_NEAR(static_cast<double>(t.pressurePeriod), static_cast<double>(sim::fraction(1, 25)),
                0.05005 * static_cast<double>(sim::fraction(1, 25)));
    EXPECT_LE(t.motionWakeUp, atMost(milliseconds(30)) + microseconds(10));
    light.insert(t.lightHighResolution);
    temperature.insert(t.temperature14Bit[0]);
    compass.insert(t.compass);
    pressure.insert(t.pressurePeriod);
    wakeUp.insert(t.motionWakeUp);
    if (seed <= 2) {
      EXPECT_EQ(measure(seed), t);  // the same seed, the same chips
    }
  }
  EXPECT_TRUE(temperatureVariesWithinARun);
  EXPECT_GT(light.size(), 6u);
  EXPECT_GT(temperature.size(), 6u);
  EXPECT_GT(compass.size(), 6u);
  EXPECT_GT(pressure.size(), 6u);
  EXPECT_GT(wakeUp.size(), 6u);
}

}  // namespace
