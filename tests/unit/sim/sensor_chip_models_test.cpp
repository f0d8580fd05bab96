// The sensor chips of the virtual board against their datasheets, through the
// bus interface every chip model offers: identity registers, data formats and
// byte orders, conversion and clock-stretch times, checksums, auto-increment
// and reserved addresses, block data update, status bits, and what a sleeping
// or powered-down chip shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "i2c_target_master.h"
#include "sim/devices/bh17.h"
#include "sim/devices/htu21.h"
#include "sim/devices/lps25h.h"
#include "sim/devices/mpu9150.h"
#include "sim/devices/pir_sensor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::milliseconds;
using testing_i2c::readBytes;
using testing_i2c::readRegisters;
using testing_i2c::writeBytes;

void pass(sim::Clock& clock, sim::Time t) { clock.advanceTo(clock.now() + t); }

// ------------------------------------------------------------------ HTU21

TEST(Htu21Model, ChecksumIsCrc8OfTheTwoDataBytesWithPolynomial0x31) {
  // The datasheet's worked examples.
  const std::uint8_t a[] = {0x68, 0x3A};
  const std::uint8_t b[] = {0x4E, 0x85};
  EXPECT_EQ(sim::Htu21::crc8(a, 2), 0x7C);
  EXPECT_EQ(sim::Htu21::crc8(b, 2), 0x6B);

  sim::Clock clock;
  sim::Htu21 chip(clock);
  chip.setTemperatureRaw(0x683A);
  ASSERT_TRUE(writeBytes(chip, clock, {0xE3}));
  EXPECT_EQ(readBytes(chip, clock, 3).bytes, (Bytes{0x68, 0x3A, 0x7C}));
}

TEST(Htu21Model, HoldMasterMeasurementsStretchTheClockUntilTheConversionEnds) {
  sim::Clock clock;
  sim::Htu21 chip(clock);
  ASSERT_TRUE(writeBytes(chip, clock, {0xE3}));
  pass(clock, milliseconds(10));
  auto t = readBytes(chip, clock, 3);
  ASSERT_TRUE(t.acked);
  EXPECT_EQ(t.stretched, milliseconds(40));  // 50 ms for a 14-bit temperature

  ASSERT_TRUE(writeBytes(chip, clock, {0xE5}));
  auto h = readBytes(chip, clock, 3);
  EXPECT_EQ(h.stretched, milliseconds(16));  // 16 ms for a 12-bit humidity

  // A read long after the conversion is not held at all.
  ASSERT_TRUE(writeBytes(chip, clock, {0xE5}));
  pass(clock, milliseconds(100));
  EXPECT_EQ(readBytes(chip, clock, 3).stretched, 0u);
}

TEST(Htu21Model, PhysicalValuesBecomeCountsWithTheStatusBitsOfTheMeasurement) {
  sim::Clock clock;
  sim::Htu21 chip(clock);
  chip.setTemperature(23.4);
  chip.setHumidity(45);
  ASSERT_TRUE(writeBytes(chip, clock, {0xE3}));
  Bytes t = readBytes(chip, clock, 3).bytes;
  ASSERT_TRUE(writeBytes(chip, clock, {0xE5}));
  Bytes h = readBytes(chip, clock, 3).bytes;

  unsigned tRaw = t[0] << 8 | t[1], hRaw = h[0] << 8 | h[1];
  EXPECT_EQ(tRaw & 3u, 0u);  // temperature: status bit 1 clear
  EXPECT_EQ(hRaw & 3u, 2u);  // humidity: status bit 1 set
  EXPECT_NEAR(-46.85 + 175.72 * (tRaw & 0xFFFC) / 65536.0, 23.4, 0.02);
  EXPECT_NEAR(-6 + 125.0 * (hRaw & 0xFFFC) / 65536.0, 45, 0.01);
  EXPECT_EQ(t[2], sim::Htu21::crc8(t.data(), 2));
  EXPECT_EQ(h[2], sim::Htu21::crc8(h.data(), 2));
}

TEST(Htu21Model, RawRepliesKeepTheirStatusBitsUntilAPhysicalValueIsSetAgain) {
  sim::Clock clock;
  sim::Htu21 chip(clock);
  chip.setHumidityRaw(0x6667);
  ASSERT_TRUE(writeBytes(chip, clock, {0xE5}));
  Bytes h = readBytes(chip, clock, 3).bytes;
  EXPECT_EQ(h[0], 0x66);
  EXPECT_EQ(h[1], 0x67);
  chip.setHumidity(45);
  ASSERT_TRUE(writeBytes(chip, clock, {0xE5}));
  EXPECT_NE(readBytes(chip, clock, 3).bytes[1], 0x67);
}

TEST(Htu21Model, SoftResetSilencesTheChipFor15msAndRestoresTheUserRegisterButTheHeater) {
  sim::Clock clock;
  sim::Htu21 chip(clock);
  ASSERT_TRUE(writeBytes(chip, clock, {0xE6, 0x83}));
  EXPECT_EQ(readRegisters(chip, clock, 0xE7, 1), Bytes{0x83});
  ASSERT_TRUE(writeBytes(chip, clock, {0xFE}));
  pass(clock, milliseconds(14));
  EXPECT_FALSE(chip.start(false));
  pass(clock, milliseconds(1));
  EXPECT_EQ(readRegisters(chip, clock, 0xE7, 1), Bytes{0x02});

  // The heater bit survives a soft reset; resolution and OTP reload do not.
  ASSERT_TRUE(writeBytes(chip, clock, {0xE6, 0x85}));
  ASSERT_TRUE(writeBytes(chip, clock, {0xFE}));
  pass(clock, milliseconds(15));
  EXPECT_EQ(readRegisters(chip, clock, 0xE7, 1), Bytes{0x06});
}

// At each resolution the reply keeps the result's top bits only: below them
// zeros, then the two status bits; the conversion takes that resolution's time.
TEST(Htu21Model, EachResolutionKeepsItsOwnBitsAndTakesItsOwnConversionTime) {
  struct Case {
    std::uint8_t userRegister;
    std::uint16_t temperature, humidity;
    sim::Time temperatureTime, humidityTime;
  };
  // Physical values whose 16-bit counts are 0x66FC: every bit a resolution
  // could keep is set down to bit 2.
  const Case cases[] = {
      {0x02, 0x66FC, 0x66F2, milliseconds(50), milliseconds(16)},  // T 14 bits, RH 12 bits
      {0x03, 0x66F0, 0x6602, milliseconds(13), milliseconds(3)},   // T 12, RH 8
      {0x82, 0x66F8, 0x66C2, milliseconds(25), milliseconds(5)},   // T 13, RH 10
      {0x83, 0x66E0, 0x66E2, milliseconds(7), milliseconds(8)},    // T 11, RH 11
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.userRegister);
    sim::Clock clock;
    sim::Htu21 chip(clock);
    chip.setTemperature((0x66FC + 0.25) / 65536.0 * 175.72 - 46.85);
    chip.setHumidity((0x66FC + 0.25) / 65536.0 * 125.0 - 6.0);
    ASSERT_TRUE(writeBytes(chip, clock, {0xE6, c.userRegister}));
    ASSERT_TRUE(writeBytes(chip, clock, {0xE3}));
    auto t = readBytes(chip, clock, 3);
    ASSERT_TRUE(writeBytes(chip, clock, {0xE5}));
    auto h = readBytes(chip, clock, 3);
    ASSERT_EQ(t.bytes.size(), 3u);
    ASSERT_EQ(h.bytes.size(), 3u);
    EXPECT_EQ(t.bytes[0] << 8 | t.bytes[1], c.temperature);
    EXPECT_EQ(h.bytes[0] << 8 | h.bytes[1], c.humidity);
    EXPECT_EQ(t.bytes[2], sim::Htu21::crc8(t.bytes.data(), 2));
    EXPECT_EQ(h.bytes[2], sim::Htu21::crc8(h.bytes.data(), 2));
    EXPECT_EQ(t.stretched, c.temperatureTime);
    EXPECT_EQ(h.stretched, c.humidityTime);
  }
}

TEST(Htu21Model, WithoutHoldTheReadAddressIsRefusedUntilTheResultIsReady) {
  sim::Clock clock;
  sim::Htu21 chip(clock);
  ASSERT_TRUE(writeBytes(chip, clock, {0xF5}));
  EXPECT_FALSE(readBytes(chip, clock, 3).acked);
  pass(clock, milliseconds(16));
  EXPECT_TRUE(readBytes(chip, clock, 3).acked);
  // Once read, there is nothing more to send.
  EXPECT_FALSE(readBytes(chip, clock, 3).acked);
}

// ------------------------------------------------------------------ BH17

TEST(Bh17Model, ContinuousHighResolutionGivesANewCountEvery120ms) {
  sim::Clock clock;
  sim::Bh17 chip(clock);
  chip.setLux(333.3);
  EXPECT_EQ(readBytes(chip, clock, 2).bytes, (Bytes{0x00, 0x00}));  // reset value
  ASSERT_TRUE(writeBytes(chip, clock, {0x10}));
  pass(clock, milliseconds(119));
  EXPECT_EQ(readBytes(chip, clock, 2).bytes, (Bytes{0x00, 0x00}));
  pass(clock, milliseconds(1));
  EXPECT_EQ(readBytes(chip, clock, 2).bytes, (Bytes{0x01, 0x90}));  // 400 = 333.3 lx x 1.2, high byte first

  chip.setCountRaw(0xFFFF);
  EXPECT_EQ(readBytes(chip, clock, 2).bytes, (Bytes{0x01, 0x90}));  // not before the next result
  pass(clock, milliseconds(120));
  EXPECT_EQ(readBytes(chip, clock, 2).bytes, (Bytes{0xFF, 0xFF}));
}

TEST(Bh17Model, RefusesBytesThatAreNoCommandAndMeasuresOnceInOneTimeMode) {
  sim::Clock clock;
  sim::Bh17 chip(clock);
  EXPECT_FALSE(writeBytes(chip, clock, {0x12}));
  chip.setCountRaw(0x000C);
  ASSERT_TRUE(writeBytes(chip, clock, {0x20}));
  pass(clock, milliseconds(120));
  EXPECT_EQ(readBytes(chip, clock, 2).bytes, (Bytes{0x00, 0x0C}));
  EXPECT_FALSE(chip.poweredOn());
}

// ------------------------------------------------------------------ LPS25H

TEST(Lps25hModel, IdentityAndConfigurationRegistersReadBackWhatWasWritten) {
  sim::Clock clock;
  sim::Lps25h chip(clock);
  EXPECT_EQ(readRegisters(chip, clock, 0x0F, 1), Bytes{0xBD});
  EXPECT_EQ(readRegisters(chip, clock, 0x10, 1), Bytes{0x05});
  ASSERT_TRUE(writeBytes(chip, clock, {0x20, 0xCD}));
  ASSERT_TRUE(writeBytes(chip, clock, {0x10, 0x0F}));
  EXPECT_EQ(readRegisters(chip, clock, 0x20, 1), Bytes{0xCD});
  EXPECT_EQ(readRegisters(chip, clock, 0x10, 1), Bytes{0x0F});
  ASSERT_TRUE(writeBytes(chip, clock, {0x0F, 0x00}));  // read-only
  EXPECT_EQ(readRegisters(chip, clock, 0x0F, 1), Bytes{0xBD});
}

TEST(Lps25hModel, PoweredDownTheOutputsNeverUpdate) {
  sim::Clock clock;
  sim::Lps25h chip(clock);
  ASSERT_TRUE(writeBytes(chip, clock, {0x20, 0x40}));  // 25 Hz chosen, PD still clear
  pass(clock, sim::seconds(5));
  EXPECT_EQ(readRegisters(chip, clock, 0xA8, 5), (Bytes{0, 0, 0, 0, 0}));
  EXPECT_EQ(readRegisters(chip, clock, 0x27, 1), Bytes{0x00});
}

TEST(Lps25hModel, PoweredUpOutputsFollowTheRateInTheirFormats) {
  sim::Clock clock;
  sim::Lps25h chip(clock);
  chip.setPressure(1013.25);  // 0x3F5400 in 1/4096 hPa
  chip.setTemperature(25.4);  // (25.4 - 42.5) x 480 = -8208 = 0xDFF0
  ASSERT_TRUE(writeBytes(chip, clock, {0x20, 0xCD}));
  pass(clock, milliseconds(39));
  EXPECT_EQ(readRegisters(chip, clock, 0x27, 1), Bytes{0x00});
  pass(clock, milliseconds(1));
  EXPECT_EQ(readRegisters(chip, clock, 0x27, 1), Bytes{0x03});
  EXPECT_EQ(readRegisters(chip, clock, 0xA8, 3), (Bytes{0x00, 0x54, 0x3F}));
  EXPECT_EQ(readRegisters(chip, clock, 0xAB, 2), (Bytes{0xF0, 0xDF}));
  EXPECT_EQ(readRegisters(chip, clock, 0x27, 1), Bytes{0x00});  // both read: no new data

  chip.setPressureRaw(-1);
  pass(clock, milliseconds(40));
  EXPECT_EQ(readRegisters(chip, clock, 0xA8, 3), (Bytes{0xFF, 0xFF, 0xFF}));
}

TEST(Lps25hModel, AddressesAbove0x3FAreReservedNotAliasesOfTheRegisters) {
  sim::Clock clock;
  sim::Lps25h chip(clock);
  // 0x60 and 0x4F are no CTRL_REG1 and no WHO_AM_I: a write there changes
  // nothing, a read gives 0, with or without the auto-increment bit.
  ASSERT_TRUE(writeBytes(chip, clock, {0x60, 0xCD}));
  ASSERT_TRUE(writeBytes(chip, clock, {0xE0, 0xCD}));
  EXPECT_EQ(readRegisters(chip, clock, 0x20, 1), Bytes{0x00});
  EXPECT_EQ(readRegisters(chip, clock, 0x4F, 1), Bytes{0x00});
  EXPECT_EQ(readRegisters(chip, clock, 0xCF, 1), Bytes{0x00});
  EXPECT_EQ(chip.reg(0x4F), 0x00);
  // Bit 7 is auto-increment, not part of the address: 0x8F is WHO_AM_I, and
  // a burst from 0x9F passes reserved 0x1F and writes CTRL_REG1.
  EXPECT_EQ(readRegisters(chip, clock, 0x8F, 1), Bytes{0xBD});
  ASSERT_TRUE(writeBytes(chip, clock, {0x9F, 0x55, 0x84}));
  EXPECT_EQ(readRegisters(chip, clock, 0x1F, 2), (Bytes{0x00, 0x00}));  // no step without bit 7
  EXPECT_EQ(readRegisters(chip, clock, 0x20, 1), Bytes{0x84});
  // A burst steps past 0x3F into the reserved addresses and wraps at 0x7F.
  EXPECT_EQ(readRegisters(chip, clock, 0xBF, 2), (Bytes{0x00, 0x00}));
  EXPECT_EQ(readRegisters(chip, clock, 0xFF, 2), (Bytes{0x00, 0x00}));
  ASSERT_TRUE(writeBytes(chip, clock, {0xFF, 0x11, 0x22}));  // 0x7F, then 0x00: both reserved
  EXPECT_EQ(readRegisters(chip, clock, 0x8F, 2), (Bytes{0xBD, 0x05}));
}

// A read of the pressure outputs with the master's clock running between the
// bytes, as on the bus: `between` happens after the first byte.
template <typename Between>
Bytes readPressureSplit(sim::Lps25h& chip, sim::Clock& clock, Between between) {
  Bytes out;
  if (!writeBytes(chip, clock, {0xA8})) return out;
  if (!chip.start(true)) return out;
  out.push_back(chip.read());
  between();
  out.push_back(chip.read());
  out.push_back(chip.read());
  chip.stop();
  return out;
}

TEST(Lps25hModel, WithoutBlockDataUpdateABurstThatStraddlesASampleMixesTwoSamples) {
  sim::Clock clock;
  sim::Lps25h chip(clock);
  chip.setPressureRaw(0x1122FF);
  ASSERT_TRUE(writeBytes(chip, clock, {0x20, 0xC0}));  // on, 25 Hz, BDU clear
  pass(clock, milliseconds(40));
  Bytes mixed = readPressureSplit(chip, clock, [&] {
    chip.setPressureRaw(0x113300);
    pass(clock, milliseconds(40));
  });
  // The low byte of the old sample, the middle and high bytes of the new one.
  EXPECT_EQ(mixed, (Bytes{0xFF, 0x33, 0x11}));
}

TEST(Lps25hModel, WithBlockDataUpdateTheOutputsHoldTheirSampleUntilEveryByteIsRead) {
  sim::Clock clock;
  sim::Lps25h chip(clock);
  chip.setPressureRaw(0x1122FF);
  chip.setTemperatureRaw(0x0102);
  ASSERT_TRUE(writeBytes(chip, clock, {0x20, 0xC4}));  // on, 25 Hz, BDU
  pass(clock, milliseconds(40));
  Bytes whole = readPressureSplit(chip, clock, [&] {
    chip.setPressureRaw(0x113300);
    pass(clock, milliseconds(40));
  });
  EXPECT_EQ(whole, (Bytes{0xFF, 0x22, 0x11}));
  // The sample that came meanwhile shows once the held one has been read.
  EXPECT_EQ(readRegisters(chip, clock, 0xA8, 3), (Bytes{0x00, 0x33, 0x11}));

  // One byte read holds the sample across later ones, in separate reads too.
  EXPECT_EQ(readRegisters(chip, clock, 0x2A, 1), Bytes{0x11});
  chip.setPressureRaw(0x445566);
  chip.setTemperatureRaw(0x0304);
  pass(clock, milliseconds(80));
  EXPECT_EQ(readRegisters(chip, clock, 0x28, 1), Bytes{0x00});
  EXPECT_EQ(readRegisters(chip, clock, 0xAB, 2), (Bytes{0x04, 0x03}));  // temperature is not held
  EXPECT_EQ(readRegisters(chip, clock, 0x29, 1), Bytes{0x33});         // the last unread byte ends the hold
  EXPECT_EQ(readRegisters(chip, clock, 0xA8, 3), (Bytes{0x66, 0x55, 0x44}));

  // Clearing BDU lets a held output go at once.
  EXPECT_EQ(readRegisters(chip, clock, 0x28, 1), Bytes{0x66});
  chip.setPressureRaw(0x000001);
  pass(clock, milliseconds(40));
  EXPECT_EQ(readRegisters(chip, clock, 0x28, 1), Bytes{0x66});
  ASSERT_TRUE(writeBytes(chip, clock, {0x20, 0xC0}));
  EXPECT_EQ(readRegisters(chip, clock, 0xA8, 3), (Bytes{0x01, 0x00, 0x00}));
}

TEST(Lps25hModel, OnlyARegisterAddressWithBit7SetSteps) {
  sim::Clock clock;
  sim::Lps25h chip(clock);
  chip.setPressureRaw(0x123456);
  ASSERT_TRUE(writeBytes(chip, clock, {0x20, 0xC0}));
  pass(clock, milliseconds(40));
  EXPECT_EQ(readRegisters(chip, clock, 0x28, 3), (Bytes{0x56, 0x56, 0x56}));
  EXPECT_EQ(readRegisters(chip, clock, 0xA8, 3), (Bytes{0x56, 0x34, 0x12}));
}

// ------------------------------------------------------------------ MPU-9150

TEST(Mpu9150Model, StartsAsleepWithFrozenOutputsAndItsIdentity) {
  sim::Clock clock;
  sim::Mpu9150 chip(clock);
  EXPECT_EQ(readRegisters(chip, clock, 0x75, 1), Bytes{0x68});
  EXPECT_EQ(readRegisters(chip, clock, 0x6B, 1), Bytes{0x40});
  pass(clock, milliseconds(100));
  EXPECT_EQ(readRegisters(chip, clock, 0x3B, 6), Bytes(6, 0));

  ASSERT_TRUE(writeBytes(chip, clock, {0x6B, 0x01}));
  pass(clock, milliseconds(1));
  EXPECT_EQ(readRegisters(chip, clock, 0x3F, 2), (Bytes{0x40, 0x00}));  // 1 g on Z = 16384
  // Asleep again: a new value does not show.
  ASSERT_TRUE(writeBytes(chip, clock, {0x6B, 0x41}));
  chip.setAcceleration(0, 0, -1);
  pass(clock, milliseconds(1));
  EXPECT_EQ(readRegisters(chip, clock, 0x3F, 2), (Bytes{0x40, 0x00}));
}

TEST(Mpu9150Model, FullScaleFieldsScaleTheBigEndianOutputs) {
  sim::Clock clock;
  sim::Mpu9150 chip(clock);
  chip.setAcceleration(0.5, -0.5, 1);
  chip.setRotation(100, 0, -250);
  chip.setTemperature(35);
  ASSERT_TRUE(writeBytes(chip, clock, {0x6B, 0x00}));
  ASSERT_TRUE(writeBytes(chip, clock, {0x1B, 0x08, 0x08}));  // +-500 deg/s, +-4 g, in one burst
  pass(clock, milliseconds(1));
  Bytes d = readRegisters(chip, clock, 0x3B, 14);
  ASSERT_EQ(d.size(), 14u);
  auto word = [&](int i) { return static_cast<std::int16_t>(d[2 * i] << 8 | d[2 * i + 1]); };
  EXPECT_EQ(word(0), 4096);  // 0.5 g at 8192 per g
  EXPECT_EQ(word(1), -4096);
  EXPECT_EQ(word(2), 8192);
  EXPECT_EQ(word(3), 0);     // 35 degC
  EXPECT_EQ(word(4), 6550);  // 100 deg/s at 65.5 per deg/s
  EXPECT_EQ(word(6), -16375);

  chip.setAccelerationRaw(258, -2, 0);
  pass(clock, milliseconds(1));
  EXPECT_EQ(readRegisters(chip, clock, 0x3B, 4), (Bytes{0x01, 0x02, 0xFF, 0xFE}));
}

TEST(Mpu9150Model, TheMagnetometerAnswersOnlyThroughTheBypass) {
  sim::Clock clock;
  sim::Mpu9150 chip(clock);
  auto& mag = chip.magnetometer();
  EXPECT_FALSE(mag.start(false));
  EXPECT_FALSE(readBytes(mag, clock, 1).acked);

  ASSERT_TRUE(writeBytes(chip, clock, {0x37, 0x02}));
  EXPECT_EQ(readRegisters(mag, clock, 0x00, 1), Bytes{0x48});
  // The chip's own I2C master takes the auxiliary bus back.
  ASSERT_TRUE(writeBytes(chip, clock, {0x6A, 0x20}));
  EXPECT_FALSE(mag.start(true));
}

TEST(Mpu9150Model, OneMagnetometerMeasurementTakes9msAndGivesLittleEndianCounts) {
  sim::Clock clock;
  sim::Mpu9150 chip(clock);
  auto& mag = chip.magnetometer();
  mag.setField(30, -0.3, 77.4);  // 100, -1, 258 counts at 0.3 uT
  ASSERT_TRUE(writeBytes(chip, clock, {0x37, 0x02}));
  ASSERT_TRUE(writeBytes(mag, clock, {0x0A, 0x01}));
  pass(clock, sim::microseconds(8990));
  EXPECT_EQ(readRegisters(mag, clock, 0x02, 1), Bytes{0x00});
  pass(clock, sim::microseconds(10));
  EXPECT_EQ(readRegisters(mag, clock, 0x02, 1), Bytes{0x01});
  EXPECT_EQ(readRegisters(mag, clock, 0x03, 6), (Bytes{0x64, 0x00, 0xFF, 0xFF, 0x02, 0x01}));
  EXPECT_EQ(readRegisters(mag, clock, 0x02, 1), Bytes{0x00});  // data read: DRDY cleared
  EXPECT_EQ(readRegisters(mag, clock, 0x0A, 1), Bytes{0x00});  // back to power-down
}

TEST(Mpu9150Model, SensitivityAdjustmentReadsOnlyInFuseRomAccessMode) {
  sim::Clock clock;
  sim::Mpu9150 chip(clock);
  auto& mag = chip.magnetometer();
  ASSERT_TRUE(writeBytes(chip, clock, {0x37, 0x02}));
  EXPECT_EQ(readRegisters(mag, clock, 0x10, 3), (Bytes{0x00, 0x00, 0x00}));  // power-down
  ASSERT_TRUE(writeBytes(mag, clock, {0x0A, 0x0F}));
  EXPECT_EQ(readRegisters(mag, clock, 0x10, 3), (Bytes{0x80, 0x80, 0x80}));
  ASSERT_TRUE(writeBytes(mag, clock, {0x0A, 0x00}));
  EXPECT_EQ(readRegisters(mag, clock, 0x10, 3), (Bytes{0x00, 0x00, 0x00}));
  ASSERT_TRUE(writeBytes(mag, clock, {0x0A, 0x01}));  // measuring
  EXPECT_EQ(readRegisters(mag, clock, 0x10, 3), (Bytes{0x00, 0x00, 0x00}));
}

// One single measurement of the field given; ST2 afterwards.
std::uint8_t measureSt2(sim::Mpu9150& chip, sim::Clock& clock) {
  auto& mag = chip.magnetometer();
  EXPECT_TRUE(writeBytes(mag, clock, {0x0A, 0x01}));
  pass(clock, milliseconds(9));
  readRegisters(mag, clock, 0x03, 6);
  Bytes st2 = readRegisters(mag, clock, 0x09, 1);
  return st2.empty() ? 0xFF : st2[0];
}

TEST(Mpu9150Model, St2ShowsAnOverflowWhenTheAxesTogetherReach2400uT) {
  sim::Clock clock;
  sim::Mpu9150 chip(clock);
  auto& mag = chip.magnetometer();
  ASSERT_TRUE(writeBytes(chip, clock, {0x37, 0x02}));
  mag.setField(22, 5, -42);
  EXPECT_EQ(measureSt2(chip, clock), 0x00);
  mag.setField(1229, 0, -1100);  // each axis in range, the sum 2329 uT
  EXPECT_EQ(measureSt2(chip, clock), 0x00);
  mag.setField(1000, -1000, 400);  // the sum 2400 uT
  EXPECT_EQ(measureSt2(chip, clock), 0x08);
  EXPECT_EQ(readRegisters(mag, clock, 0x09, 1), Bytes{0x08});  // kept until the next measurement
  mag.setRaw(4095, -4095, 0);  // 2457 uT in counts
  EXPECT_EQ(measureSt2(chip, clock), 0x08);
  mag.setField(0, 0, 50);
  EXPECT_EQ(measureSt2(chip, clock), 0x00);
}

TEST(Mpu9150Model, ReadingTheResultsDuringAMeasurementSetsDataErrorUntilSt2IsRead) {
  sim::Clock clock;
  sim::Mpu9150 chip(clock);
  auto& mag = chip.magnetometer();
  mag.setRaw(100, 200, 300);
  ASSERT_TRUE(writeBytes(chip, clock, {0x37, 0x02}));
  EXPECT_EQ(measureSt2(chip, clock), 0x00);
  mag.setRaw(1, 2, 3);
  ASSERT_TRUE(writeBytes(mag, clock, {0x0A, 0x01}));
  pass(clock, milliseconds(5));
  // Too early: the old results, and ST2 says the read went wrong.
  EXPECT_EQ(readRegisters(mag, clock, 0x03, 2), (Bytes{0x64, 0x00}));
  EXPECT_EQ(readRegisters(mag, clock, 0x09, 1), Bytes{0x04});
  EXPECT_EQ(readRegisters(mag, clock, 0x09, 1), Bytes{0x00});  // reading ST2 cleared it
  pass(clock, milliseconds(4));
  EXPECT_EQ(readRegisters(mag, clock, 0x03, 2), (Bytes{0x01, 0x00}));
  EXPECT_EQ(readRegisters(mag, clock, 0x09, 1), Bytes{0x00});
}

// ------------------------------------------------------------------ PIR

TEST(PirSensorModel, OutputRisesWithMotionAndFallsAHoldTimeAfterIt) {
  sim::Clock clock;
  std::vector<sim::Level> seen;
  sim::PirSensor pir(clock, [&](sim::Level l) { seen.push_back(l); });
  pir.setMotion(true);
  pass(clock, sim::seconds(10));
  EXPECT_EQ(pir.output(), sim::Level::High);
  pir.setMotion(false);
  pass(clock, sim::PirSensor::kHoldTime - 1);
  EXPECT_EQ(pir.output(), sim::Level::High);
  pass(clock, 1);
  EXPECT_EQ(seen, (std::vector<sim::Level>{sim::Level::Low, sim::Level::High, sim::Level::Low}));
}

}  // namespace
