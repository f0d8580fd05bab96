// The USART model on its own, wired to its pins: the waveform it puts on the
// TX net, what it reads from the RX net, its transmit data and shift registers,
// overrun, the TC clearing sequence and the interrupt line.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/stm32l1_registers.h"
#include "sim/core/clock.h"
#include "sim/core/interrupt_controller.h"
#include "sim/core/stop.h"
#include "sim/core/uart_line.h"
#include "sim/peripherals/gpio_port.h"
#include "sim/peripherals/nvic_registers.h"
#include "sim/peripherals/usart.h"

namespace {

using sim::Level;
using sim::Time;
using sim::Usart;

constexpr std::uint32_t kSr = 0x00, kDr = 0x04, kBrr = 0x08, kCr1 = 0x0C;
constexpr std::uint32_t kModer = 0x00, kAfrh = 0x24;
constexpr std::uint16_t kRxne = 1u << 5, kTc = 1u << 6, kTxe = 1u << 7, kOre = 1u << 3, kFe = 1u << 1;
constexpr std::uint16_t kRe = 1u << 2, kTe = 1u << 3, kRxneie = 1u << 5, kUe = 1u << 13;
constexpr int kLine = 37;
constexpr std::uint16_t kBrr115200At32MHz = 0x116;
constexpr unsigned kTxPin = 9, kRxPin = 10;
// PA9 and PA10 in alternate-function mode, function 7.
constexpr std::uint32_t kSerialPinsAf = (2u << (2 * kTxPin)) | (2u << (2 * kRxPin));
constexpr std::uint32_t kSerialPinsAf7 = (7u << 4) | (7u << 8);

class UsartModel : public ::testing::Test {
 protected:
  UsartModel() {
    std::array<sim::Net*, 16> pins{};
    for (unsigned i = 0; i < 16; ++i) {
      nets.push_back(std::make_unique<sim::Net>("PA" + std::to_string(i), &clock));
      pins[i] = nets.back().get();
    }
    port = std::make_unique<sim::GpioPort>('A', sim::GpioPort::ResetValues{}, pins);
    usart = std::make_unique<Usart>("USART1", clock, interrupts, kLine, [this] { return busHz; });
    port->attachFunction(kTxPin, 7, usart->txPin());
    port->attachFunction(kRxPin, 7, usart->rxPin());
    port->write(kAfrh, 4, kSerialPinsAf7);
    port->write(kModer, 4, kSerialPinsAf);
    farEnd = std::make_unique<sim::NetDriver>(rxNet(), "far end");
    farEnd->set(sim::Drive::High);
    sender = std::make_unique<sim::UartTransmitter>(
        clock, [this](Level level) { farEnd->set(level == Level::High ? sim::Drive::High : sim::Drive::Low); });

    usart->write(kBrr, 2, kBrr115200At32MHz);
    usart->onTransmit([this](const Usart::Frame& frame) {
      sent.push_back(frame);
      sentAt.push_back(clock.now());
    });
    watchTx = txNet().onChange([this](Level level) { txEdges.emplace_back(clock.now(), level); });
  }

  sim::Net& txNet() { return *nets[kTxPin]; }
  sim::Net& rxNet() { return *nets[kRxPin]; }
  std::uint16_t sr() { return static_cast<std::uint16_t>(usart->read(kSr, 2)); }
  bool linePending() { return interrupts.isPending(sim::InterruptController::irq(kLine)); }
  void clearPending() { nvic.write(offsetof(NVIC_TypeDef, ICPR) + 4 * (kLine / 32), 4, 1u << (kLine % 32)); }
  Time bit() const { return usart->bitTime(); }
  // The far end sends one frame on the RX net at `senderBit` per bit; returns
  // once the receiver has had time to take it in.
  void receive(std::uint8_t byte, Time senderBit = 0) {
    if (senderBit == 0) senderBit = bit();
    sender->send(byte, sim::UartFormat{senderBit, 8}, senderBit, nullptr);
    Time end = clock.now() + 10 * std::max(senderBit, bit());
    clock.advanceTo(end + bit());
  }

  sim::Clock clock;
  sim::InterruptController interrupts{clock, {}};
  sim::NvicRegisters nvic{interrupts};
  std::uint32_t busHz = 32'000'000;
  std::vector<std::unique_ptr<sim::Net>> nets;
  std::unique_ptr<sim::GpioPort> port;
  std::unique_ptr<Usart> usart;
  std::unique_ptr<sim::NetDriver> farEnd;
  std::unique_ptr<sim::UartTransmitter> sender;
  std::vector<Usart::Frame> sent;
  std::vector<Time> sentAt;
  std::vector<std::pair<Time, Level>> txEdges;
  sim::Subscription watchTx;
};

TEST_F(UsartModel, AByteLeavesOnTheTxPinBitByBitLeastSignificantFirst) {
  usart->write(kCr1, 2, kUe | kTe);
  EXPECT_EQ(txNet().level(), Level::High);  // idle
  txEdges.clear();
  const Time t0 = clock.now();
  usart->write(kDr, 2, 0x4B);  // 0100 1011
  clock.advanceTo(t0 + sim::milliseconds(1));
  // 115200 bit/s from 278 cycles of 32 MHz: 8.6875 us a bit; one edge where
  // the level changes, none where it stays.
  const Time b = sim::cyclesToTime(278, 32'000'000);
  std::vector<std::pair<Time, Level>> expected{
      {t0, Level::Low},          {t0 + 1 * b, Level::High}, {t0 + 3 * b, Level::Low}, {t0 + 4 * b, Level::High},
      {t0 + 5 * b, Level::Low},  {t0 + 7 * b, Level::High}, {t0 + 8 * b, Level::Low}, {t0 + 9 * b, Level::High},
  };
  EXPECT_EQ(txEdges, expected);
  ASSERT_EQ(sentAt.size(), 1u);
  EXPECT_EQ(sentAt[0], t0 + 10 * b);
}

TEST_F(UsartModel, NineBitWordsCarryTheirNinthBitBeforeTheStopBitBothWays) {
  constexpr std::uint16_t kM = 1u << 12;
  usart->write(kCr1, 2, kUe | kTe | kRe | kM);
  txEdges.clear();
  const Time t0 = clock.now();
  usart->write(kDr, 2, 0x100);
  clock.advanceTo(t0 + sim::milliseconds(1));
  std::vector<std::pair<Time, Level>> expected{{t0, Level::Low}, {t0 + 9 * bit(), Level::High}};
  EXPECT_EQ(txEdges, expected);
  ASSERT_EQ(sentAt.size(), 1u);
  EXPECT_EQ(sentAt[0], t0 + 11 * bit());

  sender->send(0x155, sim::UartFormat{bit(), 9}, bit(), nullptr);
  clock.advanceTo(clock.now() + 12 * bit());
  EXPECT_FALSE(sr() & kFe);
  EXPECT_EQ(usart->read(kDr, 2), 0x155u);
}

TEST_F(UsartModel, NoFrameReachesOrLeavesThePinsWhileTheyAreNotRoutedToTheUsart) {
  usart->write(kCr1, 2, kUe | kTe | kRe);
  port->write(kAfrh, 4, 0);  // AF0 selected: the pins are not the USART's
  txEdges.clear();
  usart->write(kDr, 2, 'a');
  clock.advanceTo(clock.now() + sim::milliseconds(1));
  EXPECT_EQ(sent.size(), 1u);  // shifted out...
  EXPECT_TRUE(txEdges.empty());  // ...but not onto the line
  EXPECT_TRUE(txNet().floating());
  receive('b');
  EXPECT_EQ(sr() & kRxne, 0);

  port->write(kAfrh, 4, kSerialPinsAf7);
  receive('c');
  EXPECT_EQ(usart->read(kDr, 2), 'c');
}

TEST_F(UsartModel, ATxPinHeldLowFromOutsideWhileTheUsartDrivesItHighIsAShort) {
  usart->write(kCr1, 2, kUe | kTe);
  sim::NetDriver probe(txNet(), "probe");
  try {
    probe.set(sim::Drive::Low);
    FAIL() << "no short";
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Short);
    EXPECT_NE(std::string(stop.what()).find("USART1 TX drives high, probe drives low"), std::string::npos)
        << stop.what();
  }
}

TEST_F(UsartModel, AByteWrittenWhileTheTransmitterIsOffWaitsForTe) {
  usart->write(kCr1, 2, kUe);
  txEdges.clear();
  usart->write(kDr, 2, 'w');
  EXPECT_FALSE(sr() & kTxe);
  clock.advanceTo(clock.now() + sim::milliseconds(1));
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(txEdges.empty());

  usart->write(kCr1, 2, kUe | kTe);
  EXPECT_TRUE(sr() & kTxe);  // moved into the shift register
  clock.advanceTo(clock.now() + sim::milliseconds(1));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].byte, 'w');
}

TEST_F(UsartModel, TcClearsOnlyByAStatusReadThenADataWriteOrByWritingZero) {
  usart->write(kCr1, 2, kUe | kTe);
  usart->write(kDr, 2, 'a');  // no status read first: TC stays set
  EXPECT_TRUE(sr() & kTc);
  clock.advanceTo(clock.now() + sim::milliseconds(1));

  (void)sr();
  usart->write(kDr, 2, 'b');  // status read, then data write: TC clears
  EXPECT_FALSE(sr() & kTc);
  clock.advanceTo(clock.now() + sim::milliseconds(1));
  EXPECT_TRUE(sr() & kTc);  // set again once 'b' is out

  usart->write(kSr, 2, static_cast<std::uint16_t>(~kTc));
  EXPECT_FALSE(sr() & kTc);
}

TEST_F(UsartModel, ASecondByteBeforeTheFirstIsTakenIsLostAsAnOverrun) {
  usart->write(kCr1, 2, kUe | kRe);
  receive('a');
  receive('b');
  EXPECT_EQ(usart->overruns(), 1u);
  EXPECT_TRUE(sr() & kOre);
  EXPECT_EQ(usart->read(kDr, 2), 'a');
  // SR then DR cleared the overrun; the next byte is received normally.
  EXPECT_EQ(sr() & (kOre | kRxne), 0);
  receive('c');
  EXPECT_EQ(usart->read(kDr, 2), 'c');
  EXPECT_EQ(usart->overruns(), 1u);
}

TEST_F(UsartModel, AnOverrunStaysFlaggedUntilStatusThenDataAreRead) {
  usart->write(kCr1, 2, kUe | kRe);
  receive('a');
  receive('b');
  usart->read(kDr, 2);  // data read without a status read first
  EXPECT_TRUE(sr() & kOre);
  usart->read(kDr, 2);
  EXPECT_FALSE(sr() & kOre);
}

TEST_F(UsartModel, TheReceiveInterruptLineFollowsDataPresentAndItsEnable) {
  usart->write(kCr1, 2, kUe | kRe);
  receive('a');
  EXPECT_FALSE(linePending());  // source not enabled

  usart->write(kCr1, 2, kUe | kRe | kRxneie);
  EXPECT_TRUE(linePending());  // enabling with data waiting raises the line

  clearPending();
  EXPECT_TRUE(linePending());  // the source still asserts the line: it stays pending
  usart->read(kDr, 2);         // line drops with RXNE
  clearPending();
  EXPECT_FALSE(linePending());
  receive('b');
  EXPECT_TRUE(linePending());  // and rises again with the next byte

  usart->write(kSr, 2, static_cast<std::uint16_t>(~kRxne));  // RXNE cleared by writing 0
  clearPending();
  EXPECT_FALSE(linePending());
  receive('c');
  EXPECT_TRUE(linePending());
}

TEST_F(UsartModel, BytesWrittenWhileTheShiftRegisterIsBusyWaitInTheDataRegister) {
  usart->write(kCr1, 2, kUe | kTe);
  const Time frameTime = sim::cyclesToTime(10 * kBrr115200At32MHz, 32'000'000);

  (void)sr();
  usart->write(kDr, 2, 'a');
  EXPECT_TRUE(sr() & kTxe);  // moved straight into the idle shift register
  EXPECT_FALSE(sr() & kTc);
  usart->write(kDr, 2, 'b');
  EXPECT_FALSE(sr() & kTxe);

  clock.advanceTo(frameTime - 1);
  EXPECT_TRUE(sent.empty());
  EXPECT_FALSE(sr() & kTxe);

  clock.advanceTo(frameTime);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].byte, 'a');
  EXPECT_TRUE(sr() & kTxe);  // 'b' has moved into the shift register
  EXPECT_FALSE(sr() & kTc);

  clock.advanceTo(2 * frameTime);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].byte, 'b');
  EXPECT_EQ(sentAt[1], 2 * frameTime);
  EXPECT_TRUE(sr() & kTc);
}

TEST_F(UsartModel, EachFrameIsTimedByTheBusClockRunningWhenItStarts) {
  usart->write(kCr1, 2, kUe | kTe);
  usart->write(kDr, 2, 'a');
  busHz = 2'097'152;  // the clock tree switches while 'a' is on the line
  usart->write(kDr, 2, 'b');
  clock.advanceTo(sim::seconds(1));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bitTime, sim::cyclesToTime(kBrr115200At32MHz, 32'000'000));
  EXPECT_EQ(sent[1].bitTime, sim::cyclesToTime(kBrr115200At32MHz, 2'097'152));
  EXPECT_EQ(sentAt[1] - sentAt[0], sim::cyclesToTime(10 * kBrr115200At32MHz, 2'097'152));
}

TEST_F(UsartModel, NothingIsSentOrReceivedWhileThePortIsOff) {
  usart->write(kCr1, 2, kTe | kRe);  // directions on, port off
  usart->write(kDr, 2, 'c');
  receive('d');
  clock.advanceTo(clock.now() + sim::milliseconds(1));
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(sr() & kRxne, 0);
  EXPECT_TRUE(sr() & kTxe);
}

TEST_F(UsartModel, AFrameAtAnotherRateIsReadAtTheReceiversOwnBitCentres) {
  usart->write(kCr1, 2, kUe | kRe);
  // A sender 20 % slow: the receiver's centres fall on the sender's bits
  // 0 1 1 2 3 4 5 6 and its stop-bit sample on bit 6. '!' (0010 0001) has bit
  // 6 low: garbage 0x41 with a framing error.
  const Time slow = bit() * 6 / 5;
  receive('!', slow);
  EXPECT_TRUE(sr() & kFe);
  EXPECT_EQ(usart->read(kDr, 2), 0x41);
  EXPECT_FALSE(sr() & kFe);
  EXPECT_EQ(usart->framingErrors(), 1u);
  // 0xE1 (1110 0001) has bit 6 high: the stop sample reads high, so the
  // garbage 0xC1 comes without a framing error.
  receive(0xE1, slow);
  EXPECT_FALSE(sr() & kFe);
  EXPECT_EQ(usart->read(kDr, 2), 0xC1);
  // Within what the sampling tolerates the byte is intact.
  receive('b', bit() * 102 / 100);
  EXPECT_FALSE(sr() & kFe);
  EXPECT_EQ(usart->read(kDr, 2), 'b');
}

TEST_F(UsartModel, ALowPulseShorterThanHalfABitIsNoStartBit) {
  usart->write(kCr1, 2, kUe | kRe);
  farEnd->set(sim::Drive::Low);
  clock.advanceTo(clock.now() + bit() / 3);
  farEnd->set(sim::Drive::High);
  clock.advanceTo(clock.now() + 20 * bit());
  EXPECT_EQ(sr() & (kRxne | kFe), 0);
  receive('g');  // and the receiver is ready for the next real frame
  EXPECT_EQ(usart->read(kDr, 2), 'g');
}

TEST_F(UsartModel, ALineHeldLowIsABreakFrameAndNothingMoreUntilItRisesAndFallsAgain) {
  usart->write(kCr1, 2, kUe | kRe);
  farEnd->set(sim::Drive::Low);
  clock.advanceTo(clock.now() + 30 * bit());
  EXPECT_TRUE(sr() & kFe);
  EXPECT_EQ(usart->read(kDr, 2), 0x00);
  EXPECT_EQ(usart->framingErrors(), 1u);
  farEnd->set(sim::Drive::High);
  receive('z');
  EXPECT_EQ(usart->read(kDr, 2), 'z');
  EXPECT_EQ(usart->framingErrors(), 1u);
}

}  // namespace
