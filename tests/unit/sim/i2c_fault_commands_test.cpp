// Faults from scripts (`fault i2c ADDRESS KIND`, `fault clear`) and the I2C log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"
#include "sim/trace/i2c_log.h"

namespace {

using Kind = sim::I2cFault::Kind;

TEST(I2cFaultCommands, EveryKindReachesTheChipAtItsAddressAndFaultClearEndsThemAll) {
  sim::Board board;
  sim::ScriptRunner runner(board, sim::parseScript("fault i2c 0x40 absent\n"
                                                   "fault i2c 0x23 nack-data 2\n"
                                                   "fault i2c 93 arbitration-lost 0  # decimal address\n"
                                                   "fault i2c 0x68 bus-error\n"
                                                   "fault i2c 0x0C sda-stuck\n"
                                                   "fault i2c 0x7F stretch-forever\n",
                                                   "t"));
  EXPECT_THROW(runner.start(), sim::Stop);
  const Kind kinds[] = {Kind::Absent,   Kind::NackData, Kind::ArbitrationLost,
                        Kind::BusError, Kind::SdaStuck, Kind::StretchForever};
  const std::uint8_t addresses[] = {0x40, 0x23, 0x5D, 0x68, 0x0C, 0x7F};
  for (int i = 0; i < 6; ++i) {
    auto fault = board.i2cBus1().fault(addresses[i]);
    ASSERT_TRUE(fault) << i;
    EXPECT_EQ(fault->kind, kinds[i]);
  }
  EXPECT_EQ(board.i2cBus1().fault(0x23)->n, 2u);

  sim::ScriptRunner clear(board, sim::parseScript("fault clear\n", "t"));
  EXPECT_THROW(clear.start(), sim::Stop);
  for (std::uint8_t address : addresses) EXPECT_FALSE(board.i2cBus1().fault(address));
}

TEST(I2cFaultCommands, MistakesAreSyntaxErrorsNamingTheLine) {
  const char* const bad[] = {
      "fault i2c 0x80 absent",        // beyond 7 bits
      "fault i2c 0x40",               // no kind
      "fault i2c 0x40 nack-data",     // no byte number
      "fault i2c 0x40 nack-data 0",   // data bytes count from 1
      "fault i2c 0x40 absent 3",      // takes no number
      "fault i2c 0x40 unplugged",     // no such kind
      "fault i2c forty absent",       // not a number
      "fault everything",             // neither i2c nor clear
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    try {
      sim::parseScript(std::string("run 1ms\n") + line + "\n", "t");
      ADD_FAILURE() << "accepted";
    } catch (const sim::ScriptError& e) {
      EXPECT_EQ(e.line(), 2);
    }
  }
}

TEST(I2cFaultCommands, TheRunnerPutsFaultsOnBothBusesAndClearsThem) {
  sim::Board board;
  sim::ScriptRunner runner(board, sim::parseScript("fault i2c 0x40 nack-data 3\n", "t"));
  EXPECT_THROW(runner.start(), sim::Stop);
  ASSERT_TRUE(board.i2cBus1().fault(0x40));
  EXPECT_EQ(board.i2cBus1().fault(0x40)->n, 3u);
  EXPECT_TRUE(board.i2cBus2().fault(0x40));
  EXPECT_FALSE(board.i2cBus1().fault(0x41));

  sim::ScriptRunner clear(board, sim::parseScript("fault clear\n", "t"));
  EXPECT_THROW(clear.start(), sim::Stop);
  EXPECT_FALSE(board.i2cBus1().fault(0x40));
  EXPECT_FALSE(board.i2cBus2().fault(0x40));
}

TEST(I2cLogLines, ALineHoldsTimeBusAddressDirectionBytesAcknowledgesAndTheEnd) {
  sim::I2cTransaction t;
  t.start = sim::milliseconds(12) + sim::microseconds(345);
  t.bus = "I2C1";
  t.address = 0x40;
  t.addressAcknowledged = true;
  t.bytes = {{0xE3, true}, {0x00, false}};
  EXPECT_EQ(sim::formatI2cTransaction(t), "0.012345000 I2C1 0x40 write addr:ACK E3:ACK 00:NACK end:STOP");
  t.read = true;
  t.addressAcknowledged = false;
  t.bytes.clear();
  t.busError = true;
  t.end = sim::I2cTransaction::End::RepeatedStart;
  EXPECT_EQ(sim::formatI2cTransaction(t), "0.012345000 I2C1 0x40 read addr:NACK end:repeated-START bus-error");
}

TEST(I2cLogLines, AFileThatCannotTakeTheLinesReportsTheFailure) {
  sim::Clock clock;
  sim::Net scl("SCL", &clock, sim::Level::High), sda("SDA", &clock, sim::Level::High);
  sim::I2cBus bus1("I2C1", clock, scl, sda), bus2("I2C2", clock, scl, sda);
  EXPECT_THROW(sim::I2cLog("/nonexistent/dir/i2c.log", bus1, bus2), std::runtime_error);
  sim::I2cLog log("/dev/full", bus1, bus2);
  bool done = false;
  bus1.start({sim::microseconds(1), sim::microseconds(1)}, [&] {
    bus1.write(0x80, {sim::microseconds(1), sim::microseconds(1)}, [&](sim::I2cBus::Result) {
      bus1.stop({sim::microseconds(1), sim::microseconds(1)}, [&] { done = true; });
    });
  });
  while (!done && clock.runToNextEvent()) {
  }
  ASSERT_TRUE(done);
  EXPECT_FALSE(log.flush());
}

TEST(I2cLogLines, ATransactionStillHoldingTheBusWhenTheRunEndsIsWrittenAsOpen) {
  // A polling transfer whose address was refused keeps the bus without a STOP
  // until the next transfer; a run that ends first must not lose that line.
  sim::Clock clock;
  sim::Net scl("SCL", &clock, sim::Level::High), sda("SDA", &clock, sim::Level::High);
  sim::I2cBus bus1("I2C1", clock, scl, sda), bus2("I2C2", clock, scl, sda);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    sim::I2cLog log(file, bus1, bus2);
    bool written = false;
    bus1.start({sim::microseconds(1), sim::microseconds(1)}, [&] {
      bus1.write(0x46, {sim::microseconds(1), sim::microseconds(1)}, [&](sim::I2cBus::Result) { written = true; });
    });
    while (!written && clock.runToNextEvent()) {
    }
    ASSERT_TRUE(written);
  }
  std::rewind(file);
  char line[128] = {};
  ASSERT_NE(std::fgets(line, sizeof line, file), nullptr);
  EXPECT_NE(std::string(line).find("I2C1 0x23 write addr:NACK end:open"), std::string::npos) << line;
  std::fclose(file);
}

}  // namespace
