// The I2C peripheral model as the chip behaves: flags and their clearing
// sequences, START/STOP cleared by hardware, BUSY/MSL/TRA, interrupt lines,
// clock stretching and stuck lines on the nets, the range warning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "I2CRoutines.h"
#include "firmware_board.h"
#include "sim/devices/register_file_target.h"

namespace {

using sim::Level;

struct Model : FirmwareBoard {
  Model() {
    I2C_LowLevel_Init();
    board.removeSensorChip(0x40);
    board.i2cBus1().attach(chip);
    warnings = board.onWarning([this](const std::string& text) { warned.push_back(text); });
  }
  ~Model() { board.i2cBus1().detach(chip); }

  void runFor(sim::Time t) { board.clock().advanceTo(now() + t); }
  std::uint16_t sr1() { return board.i2c1().reg(0x14); }
  // A register read the way the firmware makes one (a discarded value is no read).
  static std::uint16_t readReg(IoReg<std::uint16_t>& reg) { return static_cast<std::uint16_t>(reg); }
  // Lets the START go out, then reads SR1 so that SB can be cleared.
  void startAndSeeSb() {
    I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 | I2C_CR1_START);
    runFor(sim::microseconds(10));
    ASSERT_EQ(I2C1->SR1 & I2C_SR1_SB, I2C_SR1_SB);
  }
  bool eventLine() { return board.interrupts().lineHigh(I2C1_EV_IRQn); }
  bool errorLine() { return board.interrupts().lineHigh(I2C1_ER_IRQn); }

  sim::RegisterFileTarget chip{0x40};
  std::vector<std::string> warned;
  sim::Subscription warnings;
};

TEST(I2cModelFlags, SbClearsOnlyAfterAnSr1ReadAndOnlyThenTheAddressGoesOut) {
  Model m;
  __disable_irq();  // no handler may touch the flags here
  I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 | I2C_CR1_START);
  m.runFor(sim::microseconds(10));
  EXPECT_EQ(I2C1->CR1 & I2C_CR1_START, 0u);  // cleared by the hardware once on the bus
  EXPECT_EQ(I2C1->SR2 & (I2C_SR2_MSL | I2C_SR2_BUSY), I2C_SR2_MSL | I2C_SR2_BUSY);
  EXPECT_EQ(I2C1->SR1 & I2C_SR1_SB, I2C_SR1_SB);
  I2C1->DR = 0x80;  // SR1 read with SB set, then this write: SB clears, the address goes out
  m.runFor(sim::microseconds(30));
  EXPECT_EQ(m.sr1() & (I2C_SR1_SB | I2C_SR1_ADDR | I2C_SR1_TXE), I2C_SR1_ADDR | I2C_SR1_TXE);
  __enable_irq();
}

TEST(I2cModelFlags, ADrWriteWithoutTheSr1ReadLeavesSbSetAndSendsNothing) {
  Model m;
  __disable_irq();
  I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 | I2C_CR1_START);
  m.runFor(sim::microseconds(10));  // SB rises, nobody reads SR1
  I2C1->DR = 0x80;
  m.runFor(sim::microseconds(30));
  EXPECT_EQ(m.sr1() & (I2C_SR1_SB | I2C_SR1_ADDR), I2C_SR1_SB);
  EXPECT_EQ(m.chip.transactions(), 0u);
  __enable_irq();
}

TEST(I2cModelFlags, AddrClearsOnSr1ThenSr2AndTraShowsAWrite) {
  Model m;
  __disable_irq();
  m.startAndSeeSb();
  I2C1->DR = 0x80;
  m.runFor(sim::microseconds(30));
  EXPECT_EQ(m.board.i2c1().reg(0x18) & 0x0004u, 0x0004u);  // TRA: transmitter
  Model::readReg(I2C1->SR2);  // SR2 alone, without the SR1 read after ADDR rose: ADDR stays
  EXPECT_EQ(m.sr1() & I2C_SR1_ADDR, I2C_SR1_ADDR);
  Model::readReg(I2C1->SR1);
  Model::readReg(I2C1->SR2);
  EXPECT_EQ(m.sr1() & I2C_SR1_ADDR, 0u);
  // Nothing to send: the byte after the address never starts, BTF stays clear.
  m.runFor(sim::microseconds(100));
  EXPECT_EQ(m.sr1() & I2C_SR1_BTF, 0u);
  I2C1->DR = 0x10;
  m.runFor(sim::microseconds(30));
  EXPECT_EQ(m.sr1() & (I2C_SR1_BTF | I2C_SR1_TXE), I2C_SR1_BTF | I2C_SR1_TXE);
  I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 | I2C_CR1_STOP);
  m.runFor(sim::microseconds(10));
  EXPECT_EQ(I2C1->CR1 & I2C_CR1_STOP, 0u);
  EXPECT_EQ(I2C1->SR2, 0u);  // neither master nor busy once the STOP is out
  EXPECT_EQ(m.chip.pointer(), 0x10);
  __enable_irq();
}

TEST(I2cModelFlags, ErrorFlagsClearWhenWrittenZeroAndStayWhenWrittenOne) {
  Model m;
  m.board.setI2cFault(0x40, {sim::I2cFault::Kind::Absent, 0});
  __disable_irq();
  m.startAndSeeSb();
  I2C1->DR = 0x80;
  m.runFor(sim::microseconds(30));
  EXPECT_EQ(m.sr1() & (I2C_SR1_AF | I2C_SR1_ADDR), I2C_SR1_AF);
  I2C1->SR1 = 0xFFFF;
  EXPECT_EQ(m.sr1() & I2C_SR1_AF, I2C_SR1_AF);
  I2C1->SR1 = static_cast<std::uint16_t>(~I2C_SR1_AF);
  EXPECT_EQ(m.sr1() & I2C_SR1_AF, 0u);
  __enable_irq();
}

// Which reads the board may repeat at once in a poll loop: only those whose
// value cannot change before the next event and whose repetition does nothing.
TEST(I2cModelSteadyReads, Sr2IsNotSteadyWhileItsReadWouldClearAddrAndDrNeverIs) {
  Model m;
  auto steady = [&m](std::uint32_t offset) { return m.board.bus().steadyRead(I2C1_BASE + offset); };
  constexpr std::uint32_t kCr1 = 0x00, kDr = 0x10, kSr1 = 0x14, kSr2 = 0x18;
  __disable_irq();
  EXPECT_TRUE(steady(kSr1));
  EXPECT_TRUE(steady(kSr2));
  EXPECT_TRUE(steady(kCr1));
  EXPECT_FALSE(steady(kDr));
  m.startAndSeeSb();
  I2C1->DR = 0x80;
  m.runFor(sim::microseconds(30));
  // ADDR is up but no SR1 read has shown it: an SR2 read changes nothing yet.
  EXPECT_TRUE(steady(kSr2));
  Model::readReg(I2C1->SR1);
  EXPECT_FALSE(steady(kSr2));  // this SR2 read would clear ADDR
  EXPECT_TRUE(steady(kSr1));
  Model::readReg(I2C1->SR2);
  EXPECT_EQ(m.sr1() & I2C_SR1_ADDR, 0u);
  EXPECT_TRUE(steady(kSr2));  // and the reads after it do nothing more
  __enable_irq();
}

TEST(I2cModelSteadyReads, NothingIsSteadyWhileEveryAccessIsWatchedOrTheClockIsOff) {
  Model m;
  {
    auto watch = m.board.i2c1().onAccess([](std::uint32_t, bool, std::uint16_t) {});
    EXPECT_FALSE(m.board.bus().steadyRead(I2C1_BASE + 0x14));
  }
  EXPECT_TRUE(m.board.bus().steadyRead(I2C1_BASE + 0x14));
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_I2C1, DISABLE);
  EXPECT_FALSE(m.board.bus().steadyRead(I2C1_BASE + 0x14));
}

TEST(I2cModelInterrupts, TheEventLineFollowsItsEnablesAndTheErrorLineFollowsIterren) {
  Model m;
  __disable_irq();
  m.startAndSeeSb();
  EXPECT_FALSE(m.eventLine());
  I2C1->CR2 = static_cast<std::uint16_t>(I2C1->CR2 | I2C_CR2_ITEVTEN);
  EXPECT_TRUE(m.eventLine());  // SB with ITEVTEN
  I2C1->DR = 0x80;             // clears SB
  EXPECT_FALSE(m.eventLine());
  m.runFor(sim::microseconds(30));
  EXPECT_TRUE(m.eventLine());  // ADDR
  Model::readReg(I2C1->SR1);
  Model::readReg(I2C1->SR2);
  EXPECT_FALSE(m.eventLine());  // TXE alone needs ITBUFEN
  I2C1->CR2 = static_cast<std::uint16_t>(I2C1->CR2 | I2C_CR2_ITBUFEN);
  EXPECT_TRUE(m.eventLine());
  I2C1->CR2 = static_cast<std::uint16_t>(I2C1->CR2 & ~(I2C_CR2_ITBUFEN | I2C_CR2_ITEVTEN));
  EXPECT_FALSE(m.eventLine());

  m.board.setI2cFault(0x40, {sim::I2cFault::Kind::NackData, 1});
  I2C1->DR = 0x10;
  m.runFor(sim::microseconds(30));
  EXPECT_EQ(m.sr1() & I2C_SR1_AF, I2C_SR1_AF);
  EXPECT_FALSE(m.errorLine());
  I2C1->CR2 = static_cast<std::uint16_t>(I2C1->CR2 | I2C_CR2_ITERREN);
  EXPECT_TRUE(m.errorLine());
  I2C1->SR1 = static_cast<std::uint16_t>(~I2C_SR1_AF);
  EXPECT_FALSE(m.errorLine());
  I2C1->CR2 = static_cast<std::uint16_t>(I2C1->CR2 & ~I2C_CR2_ITERREN);
  I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 | I2C_CR1_STOP);
  m.runFor(sim::microseconds(10));
  EXPECT_EQ(I2C1->SR2, 0u);
  __enable_irq();
}

TEST(I2cModelWires, AStretchingChipHoldsSclLowOnTheNetAndTheMasterWaits) {
  Model m;
  m.chip.setReadStretch(sim::milliseconds(2));
  std::vector<std::pair<sim::Time, Level>> scl;
  auto watch = m.board.i2cBus1().scl().onChange([&](Level l) { scl.emplace_back(m.now(), l); });
  std::uint8_t data[2] = {};
  ASSERT_EQ(I2C_Master_BufferRead(I2C1, data, 2, Polling, 0x80), Success);
  // The longest low stretch of SCL is the chip's 2 ms.
  sim::Time longest = 0;
  for (std::size_t i = 1; i < scl.size(); ++i) {
    if (scl[i - 1].second == Level::Low) longest = std::max(longest, scl[i].first - scl[i - 1].first);
  }
  EXPECT_GE(longest, sim::milliseconds(2));
  EXPECT_LT(longest, sim::milliseconds(2) + sim::microseconds(10));
}

TEST(I2cModelWires, AStuckSdaKeepsTheBusBusyUntilTheChipLetsGo) {
  Model m;
  m.board.setI2cFault(0x40, {sim::I2cFault::Kind::SdaStuck, 0});
  std::uint8_t data[2] = {};
  EXPECT_EQ(I2C_Master_BufferRead(I2C1, data, 2, Polling, 0x80), Error);
  EXPECT_EQ(m.board.i2cBus1().sda().level(), Level::Low);
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, I2C_SR2_BUSY);
  m.board.clearI2cFaults();
  EXPECT_EQ(m.board.i2cBus1().sda().level(), Level::High);
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, 0u);
}

TEST(I2cModelWires, LosingArbitrationDropsMasterAndTheBusStaysBusyUntilTheWinnersStop) {
  Model m;
  m.board.setI2cFault(0x40, {sim::I2cFault::Kind::ArbitrationLost, 0});
  __disable_irq();
  m.startAndSeeSb();
  I2C1->DR = 0x80;
  m.runFor(sim::microseconds(5));  // the first bit, a 1, meets the other master's 0
  EXPECT_EQ(m.sr1() & I2C_SR1_ARLO, I2C_SR1_ARLO);
  EXPECT_EQ(I2C1->SR2 & (I2C_SR2_MSL | I2C_SR2_BUSY), I2C_SR2_BUSY);
  m.runFor(sim::microseconds(100));
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, 0u);
  EXPECT_EQ(m.chip.transactions(), 0u);
  __enable_irq();
}

TEST(I2cModelWires, AMasterWhosePinsAreNotRoutedReachesNoChip) {
  Model m;
  GPIO_Configure_Pins(GPIOB, GPIO_Pin_7, GPIO_Mode_IN, GPIO_OType_OD, GPIO_PuPd_NOPULL);
  std::uint8_t byte = 0;
  EXPECT_EQ(I2C_Master_BufferRead(I2C1, &byte, 1, Polling, 0x80), Error);
  EXPECT_EQ(m.chip.transactions(), 0u);
}

TEST(I2cModelFlags, ADrWriteWhileReceivingLeavesTheReceivedByteAndRxne) {
  Model m;
  m.chip.setReg(0x00, 0x5A);
  __disable_irq();
  m.startAndSeeSb();
  I2C1->DR = 0x81;  // read from the chip
  m.runFor(sim::microseconds(30));
  I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 & ~I2C_CR1_ACK);
  Model::readReg(I2C1->SR1);
  Model::readReg(I2C1->SR2);  // ADDR clears: the one byte comes in
  I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 | I2C_CR1_STOP);
  m.runFor(sim::microseconds(30));
  ASSERT_EQ(m.sr1() & I2C_SR1_RXNE, I2C_SR1_RXNE);
  I2C1->DR = 0x33;
  EXPECT_EQ(m.sr1() & I2C_SR1_RXNE, I2C_SR1_RXNE);
  EXPECT_EQ(Model::readReg(I2C1->DR), 0x5Au);
  EXPECT_EQ(m.sr1() & I2C_SR1_RXNE, 0u);
  __enable_irq();
}

// ---------------------------------------------------------------- bit timing

// Rises of SCL on the wire during a one-byte polling write to the chip.
std::vector<sim::Time> sclRisesOfAWrite(Model& m) {
  std::vector<sim::Time> rises;
  auto watch = m.board.i2cBus1().scl().onChange([&](Level level) {
    if (level == Level::High) rises.push_back(m.now());
  });
  std::uint8_t reg = 0x00;
  EXPECT_EQ(I2C_Master_BufferWrite(I2C1, &reg, 1, Polling, 0x80), Success);
  return rises;
}

void setTrise(std::uint16_t trise) {
  I2C_Cmd(I2C1, DISABLE);
  I2C1->TRISE = trise;
  I2C_Cmd(I2C1, ENABLE);
}

constexpr sim::Time cycles(std::uint64_t n) { return sim::cyclesToTime(n, 32'000'000); }

TEST(I2cModelTiming, TheHighPhaseWaitsWhereTriseIsShorterThanSclsRise) {
  // The firmware's CCR 26 (fast mode, duty 2) and TRISE 10 at 32 MHz on a bus
  // whose SCL takes 300 ns to rise: seen high at the 11th cycle, one after
  // TRISE, so each bit takes 52 + 27 cycles.
  Model m;
  ASSERT_EQ(I2C1->TRISE, 10u);
  std::vector<sim::Time> rises = sclRisesOfAWrite(m);
  ASSERT_EQ(rises.size(), 19u);
  for (std::size_t i = 1; i < 9; ++i) EXPECT_EQ(rises[i] - rises[i - 1], cycles(79)) << i;
  EXPECT_NEAR(1.0 / sim::toSeconds(rises[2] - rises[1]), 405'063.0, 1.0);

  // A TRISE with room for the rise leaves CCR's own 78 cycles.
  setTrise(13);
  rises = sclRisesOfAWrite(m);
  ASSERT_EQ(rises.size(), 19u);
  for (std::size_t i = 1; i < 9; ++i) EXPECT_EQ(rises[i] - rises[i - 1], cycles(78)) << i;

  // So does a bus that rises faster (100 ns: seen at the 5th cycle).
  setTrise(10);
  m.board.i2cBus1().setSclRiseTime(sim::fraction(1, 10'000'000));
  rises = sclRisesOfAWrite(m);
  ASSERT_EQ(rises.size(), 19u);
  for (std::size_t i = 1; i < 9; ++i) EXPECT_EQ(rises[i] - rises[i - 1], cycles(78)) << i;
}

TEST(I2cModelTiming, AfterAStretchTheHighPhaseRunsOutWhatTriseLeftOfIt) {
  // The high count runs while the chip holds SCL low, up to TRISE; from the
  // moment SCL shows high (11 cycles after it rose) the rest of the 26.
  Model m;
  setTrise(13);
  m.chip.setReadStretch(sim::microseconds(100));
  std::vector<std::pair<sim::Time, Level>> scl;
  auto watch = m.board.i2cBus1().scl().onChange([&](Level l) { scl.emplace_back(m.now(), l); });
  std::uint8_t data[2] = {};
  ASSERT_EQ(I2C_Master_BufferRead(I2C1, data, 2, Polling, 0x80), Success);
  std::size_t stretched = 0;
  for (std::size_t i = 1; i + 1 < scl.size(); ++i) {
    if (scl[i].second != Level::High || scl[i].first - scl[i - 1].first < sim::microseconds(100)) continue;
    ++stretched;
    EXPECT_EQ(scl[i + 1].first - scl[i].first, cycles(11 + 26 - 13));
  }
  EXPECT_GE(stretched, 1u);
}

// ---------------------------------------------------------------- enable

TEST(I2cModelEnable, ClearingPeDuringATransferFinishesItsByteAndItsStopThenDisables) {
  Model m;
  std::vector<sim::I2cTransaction> log;
  auto seen = m.board.i2cBus1().onTransaction([&](const sim::I2cTransaction& t) { log.push_back(t); });
  __disable_irq();
  m.startAndSeeSb();
  I2C1->DR = 0x80;
  m.runFor(sim::microseconds(30));
  Model::readReg(I2C1->SR1);
  Model::readReg(I2C1->SR2);
  I2C1->DR = 0x10;
  m.runFor(sim::microseconds(5));  // the byte half out
  // PE cleared and the STOP asked for in one write.
  I2C1->CR1 = static_cast<std::uint16_t>((I2C1->CR1 | I2C_CR1_STOP) & ~I2C_CR1_PE);
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_MSL, I2C_SR2_MSL);
  m.runFor(sim::microseconds(30));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].end, sim::I2cTransaction::End::Stop);
  ASSERT_EQ(log[0].bytes.size(), 1u);
  EXPECT_TRUE(log[0].bytes[0].acknowledged);
  EXPECT_EQ(m.chip.pointer(), 0x10);
  EXPECT_EQ(I2C1->SR2, 0u);
  EXPECT_EQ(m.sr1(), 0u);
  EXPECT_EQ(I2C1->CR1 & (I2C_CR1_PE | I2C_CR1_STOP), 0u);
  // Disabled now: a START request does nothing.
  I2C1->CR1 = static_cast<std::uint16_t>(I2C1->CR1 | I2C_CR1_START);
  m.runFor(sim::microseconds(30));
  EXPECT_EQ(m.sr1() & I2C_SR1_SB, 0u);
  EXPECT_EQ(log.size(), 1u);
  __enable_irq();
}

TEST(I2cModelEnable, BusyFollowsTheBusAlsoWhilePeIsClearButNotInSoftwareReset) {
  Model m;
  I2C_Cmd(I2C1, DISABLE);
  sim::NetDriver other(m.board.i2cBus1().sda(), "another master");
  other.set(sim::Drive::Low);
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, I2C_SR2_BUSY);
  I2C1->CR1 = I2C_CR1_SWRST;
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, 0u);
  I2C1->CR1 = 0;
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, I2C_SR2_BUSY);
  other.set(sim::Drive::None);
  EXPECT_EQ(I2C1->SR2 & I2C_SR2_BUSY, 0u);
}

TEST(I2cModelRange, FastModeOnA2MHzBusClockIsReportedOncePerPeripheral) {
  FirmwareBoard msi(false);
  std::vector<std::string> warned;
  auto listen = msi.board.onWarning([&](const std::string& text) { warned.push_back(text); });
  I2C_LowLevel_Init();
  I2C_LowLevel_Init();
  ASSERT_EQ(warned.size(), 2u);
  EXPECT_EQ(warned[0].rfind("I2C1: fast mode with FREQ 2 MHz", 0), 0u);
  EXPECT_EQ(warned[1].rfind("I2C2: fast mode with FREQ 2 MHz", 0), 0u);
}

TEST(I2cModelRange, TheBoardsOwnSetUpAt32MHzIsWithinRange) {
  Model m;
  std::uint8_t byte = 0;
  ASSERT_EQ(I2C_Master_BufferRead(I2C1, &byte, 1, Polling, 0x80), Success);
  EXPECT_TRUE(m.warned.empty());
}

}  // namespace
