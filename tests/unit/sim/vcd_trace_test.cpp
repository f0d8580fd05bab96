// Value Change Dumps of the board's signals: the file format, time order and
// resolution, the choice of signals, and what happens when the file cannot be
// written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim/core/stop.h"
#include "sim/trace/trace_signals.h"
#include "sim/trace/vcd_writer.h"
#include "vcd_reader.h"

namespace {

using sim::Level;
using sim::Time;

std::string tempPath(const char* name) { return ::testing::TempDir() + "tl500_" + name + "_" + std::to_string(getpid()); }

TEST(VcdWriter, ChangesReportedAheadOfTimeComeOutInTimeOrderOnce) {
  std::string path = tempPath("order.vcd");
  Time now = 0;
  {
    sim::VcdWriter vcd(path, [&] { return now; }, 1);
    auto tx = vcd.addSignal("PA9_CONSOLE_TX", Level::High);
    auto led = vcd.addSignal("PC7_LED1", Level::Low);
    vcd.begin();
    // A frame's bits are known when it starts; a LED changes in between.
    vcd.change(tx, 100, Level::Low);
    vcd.change(tx, 300, Level::High);
    vcd.change(tx, 200, Level::Low);  // no change: already low by then
    now = 150;
    vcd.change(led, 150, Level::High);
    vcd.change(led, 150, Level::High);  // repeated level: no edge
    now = 400;
    ASSERT_TRUE(vcd.finish());
  }
  VcdFile file = readVcd(path);
  EXPECT_EQ(file.timescale, "1ps");
  auto ps = [](Time t) { return sim::VcdWriter::picoseconds(t); };
  const auto& tx = file.of("PA9_CONSOLE_TX");
  ASSERT_EQ(tx.size(), 3u);  // the initial value, then two edges
  EXPECT_EQ(tx[1].ps, ps(100));
  EXPECT_EQ(tx[1].value, '0');
  EXPECT_EQ(tx[2].ps, ps(300));
  const auto& led = file.of("PC7_LED1");
  ASSERT_EQ(led.size(), 2u);
  EXPECT_EQ(led[1].ps, ps(150));
  for (std::size_t i = 1; i < file.stamps.size(); ++i) EXPECT_LT(file.stamps[i - 1], file.stamps[i]);
  EXPECT_EQ(file.stamps.back(), ps(400));  // the end of the run closes the trace
  std::remove(path.c_str());
}

TEST(VcdWriter, PicosecondTimesNeverRunBackwardsAndKeepEdgesAPicosecondApartApart) {
  EXPECT_EQ(sim::VcdWriter::picoseconds(sim::seconds(1)), 1'000'000'000'000ULL);
  EXPECT_EQ(sim::VcdWriter::picoseconds(sim::microseconds(1)), 1'000'000ULL);
  // A quantum is finer than a picosecond: consecutive quanta may share a
  // timestamp but never swap order, and times a picosecond or more apart get
  // distinct timestamps, also after hours.
  constexpr Time kQuantaPerPicosecond = (sim::kQuantaPerSecond + 999'999'999'999ULL) / 1'000'000'000'000ULL;
  for (Time base : {Time{0}, sim::seconds(3600) + 12345, sim::seconds(100 * 3600)}) {
    for (Time t = base; t < base + 200; ++t) {
      EXPECT_LE(sim::VcdWriter::picoseconds(t), sim::VcdWriter::picoseconds(t + 1)) << t;
      EXPECT_LT(sim::VcdWriter::picoseconds(t), sim::VcdWriter::picoseconds(t + kQuantaPerPicosecond)) << t;
    }
  }
}

// Nanoseconds of virtual time.
Time ns(std::uint64_t n) { return sim::fraction(n, 1'000'000'000); }

TEST(VcdWriter, ByDefaultTimesAreInUnitsOfOneHundredNanosecondsRoundedDown) {
  std::string path = tempPath("unit.vcd");
  Time now = 0;
  {
    sim::VcdWriter vcd(path, [&] { return now; });
    auto led = vcd.addSignal("PC7_LED1", Level::Low);
    vcd.begin();
    now = ns(1'234'567);
    vcd.change(led, now, Level::High);
    now = sim::milliseconds(5);
    vcd.change(led, now, Level::Low);
    now = sim::seconds(2);
    ASSERT_TRUE(vcd.finish());
    EXPECT_EQ(vcd.spaced(), 0u);
  }
  VcdFile file = readVcd(path);
  EXPECT_EQ(file.timescale, "100ns");
  const auto& led = file.of("PC7_LED1");
  ASSERT_EQ(led.size(), 3u);
  EXPECT_EQ(led[1].ps, 1'234'500'000u);
  EXPECT_EQ(led[2].ps, 5'000'000'000u);
  EXPECT_EQ(file.stamps.back(), 2'000'000'000'000u);
  std::remove(path.c_str());
}

// Within one unit: an SDA glitch (two edges of one signal), a STOP (SDA rises
// a few nanoseconds after SCL), and two lines changing at the same instant.
TEST(VcdWriter, EdgesInOneUnitKeepTheirOrderAndNoneVanishes) {
  std::string path = tempPath("spacing.vcd");
  Time now = 0;
  std::uint64_t spaced = 0, latestPs = 0;
  {
    sim::VcdWriter vcd(path, [&] { return now; });
    auto scl = vcd.addSignal("PB6_I2C1_SCL", Level::High);
    auto sda = vcd.addSignal("PB7_I2C1_SDA", Level::High);
    auto led = vcd.addSignal("PC7_LED1", Level::Low);
    vcd.begin();
    Time base = sim::microseconds(10);  // the start of unit 100
    auto at = [&](Time t, sim::VcdWriter::SignalId id, Level level) {
      now = t;
      vcd.change(id, t, level);
    };
    at(base + ns(10), sda, Level::Low);   // a 30 ns glitch
    at(base + ns(40), sda, Level::High);
    at(base + ns(350), scl, Level::Low);  // SCL and the LED at the same instant
    vcd.change(led, now, Level::High);
    at(base + ns(1000), scl, Level::High);
    at(base + ns(1020), sda, Level::Low);   // a START 20 ns after SCL rose,
    at(base + ns(1050), scl, Level::Low);   // SCL low again 30 ns later,
    at(base + ns(1060), sda, Level::High);  // and SDA back 10 ns after that
    at(base + ns(5000), led, Level::Low);   // long after: on its own time again
    now = base + ns(6000);
    ASSERT_TRUE(vcd.finish());
    spaced = vcd.spaced();
    latestPs = vcd.latestPs();
  }
  VcdFile file = readVcd(path);
  auto units = [](const std::vector<VcdEdge>& edges) {
    std::vector<std::uint64_t> out;
    for (std::size_t i = 1; i < edges.size(); ++i) out.push_back(edges[i].ps / 100'000);
    return out;
  };
  auto values = [](const std::vector<VcdEdge>& edges) {
    std::string out;
    for (std::size_t i = 1; i < edges.size(); ++i) out += edges[i].value;
    return out;
  };
  EXPECT_EQ(values(file.of("PB7_I2C1_SDA")), "0101");
  EXPECT_EQ(units(file.of("PB7_I2C1_SDA")), (std::vector<std::uint64_t>{100, 101, 111, 113}));
  EXPECT_EQ(values(file.of("PB6_I2C1_SCL")), "010");
  EXPECT_EQ(units(file.of("PB6_I2C1_SCL")), (std::vector<std::uint64_t>{103, 110, 112}));
  EXPECT_EQ(values(file.of("PC7_LED1")), "10");
  EXPECT_EQ(units(file.of("PC7_LED1")), (std::vector<std::uint64_t>{103, 150}));
  // Timestamps strictly increase: no two changes of one signal share one.
  for (std::size_t i = 1; i < file.stamps.size(); ++i) EXPECT_LT(file.stamps[i - 1], file.stamps[i]);
  EXPECT_EQ(spaced, 4u);  // the glitch's end, the START, SCL's fall, SDA's rise
  EXPECT_EQ(latestPs, 240'000u);  // SDA's rise: 1.06 us into the trace, written at 1.3 us
  std::remove(path.c_str());
}

TEST(VcdWriter, TimeUnitsAreOneTenOrAHundredPicosecondsNanosecondsOrMicroseconds) {
  EXPECT_EQ(sim::VcdWriter::parseUnit("1ps"), 1u);
  EXPECT_EQ(sim::VcdWriter::parseUnit("100ps"), 100u);
  EXPECT_EQ(sim::VcdWriter::parseUnit("10ns"), 10'000u);
  EXPECT_EQ(sim::VcdWriter::parseUnit("1us"), 1'000'000u);
  EXPECT_EQ(sim::VcdWriter::parseUnit("100us"), 100'000'000u);
  for (const char* bad : {"", "ns", "2ns", "1000ns", "1 ns", "1s", "1ms", "10fs", "-1ns", "01ns"}) {
    EXPECT_EQ(sim::VcdWriter::parseUnit(bad), 0u) << bad;
  }
  EXPECT_EQ(sim::VcdWriter::unitText(100'000), "100ns");
  EXPECT_EQ(sim::VcdWriter::unitText(1), "1ps");
  EXPECT_THROW(sim::VcdWriter(tempPath("bad_unit.vcd"), [] { return Time{0}; }, 3), std::invalid_argument);
  std::remove(tempPath("bad_unit.vcd").c_str());
}

TEST(VcdWriter, AFileThatCannotBeOpenedOrWrittenIsAnError) {
  EXPECT_THROW(sim::VcdWriter("/nonexistent-dir/trace.vcd", [] { return Time{0}; }), std::runtime_error);

  // /dev/full takes the open and fails every write, as a full disk does.
  Time now = 0;
  sim::VcdWriter vcd("/dev/full", [&] { return now; });
  auto led = vcd.addSignal("PC7_LED1", Level::Low);
  vcd.begin();
  bool stopped = false;
  try {
    for (int i = 0; i < 100'000; ++i) {
      now += 1000;
      vcd.change(led, now, i % 2 == 0 ? Level::High : Level::Low);
    }
  } catch (const sim::Stop& stop) {
    stopped = stop.kind() == sim::StopKind::Failed;
    EXPECT_NE(std::string(stop.what()).find("/dev/full"), std::string::npos) << stop.what();
  }
  EXPECT_TRUE(stopped) << "a trace that no longer reaches its file must end the run";
  EXPECT_FALSE(vcd.finish());
  EXPECT_FALSE(vcd.error().empty());
}

TEST(VcdWriter, ShortRunsFailingOnlyAtTheFinalFlushAreStillErrors) {
  sim::VcdWriter vcd("/dev/full", [] { return Time{0}; });
  vcd.addSignal("PC7_LED1", Level::Low);
  vcd.begin();
  EXPECT_FALSE(vcd.finish());
}

TEST(TraceSignalChoice, ItemsNameSignalsByFullNamePinRoleOrGroupInAnyCase) {
  std::string error;
  auto chosen = sim::selectTraceSignals("pc7, LED2,PA9_CONSOLE_TX,i2c", error);
  ASSERT_TRUE(chosen) << error;
  std::vector<std::string> names;
  for (const auto& s : *chosen) names.push_back(s.name());
  EXPECT_EQ(names, (std::vector<std::string>{"PC7_LED1", "PC8_LED2", "PA9_CONSOLE_TX", "PB6_I2C1_SCL", "PB7_I2C1_SDA",
                                               "PB10_I2C2_SCL", "PB11_I2C2_SDA"}));

  auto console = sim::selectTraceSignals("console", error);
  ASSERT_TRUE(console);
  EXPECT_EQ(console->size(), 2u);
  auto all = sim::selectTraceSignals("all", error);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), sim::traceSignals().size());
}

TEST(TraceSignalChoice, AnUnknownItemOrAnEmptyListIsRefusedWithTheChoices) {
  std::string error;
  EXPECT_FALSE(sim::selectTraceSignals("LED1,LED9", error));
  EXPECT_NE(error.find("'led9'"), std::string::npos) << error;
  EXPECT_NE(error.find("PC7_LED1"), std::string::npos) << error;
  EXPECT_FALSE(sim::selectTraceSignals(" , ", error));
}

}  // namespace
