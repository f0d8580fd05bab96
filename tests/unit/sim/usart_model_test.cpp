// The USART model on its own: transmit register and shift register, reception,
// overrun and the interrupt line.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/stm32l1_registers.h"
#include "sim/core/clock.h"
#include "sim/core/interrupt_controller.h"
#include "sim/peripherals/nvic_registers.h"
#include "sim/peripherals/usart.h"

namespace {

using sim::Time;
using sim::Usart;

constexpr std::uint32_t kSr = 0x00, kDr = 0x04, kBrr = 0x08, kCr1 = 0x0C;
constexpr std::uint16_t kRxne = 1u << 5, kTc = 1u << 6, kTxe = 1u << 7, kOre = 1u << 3, kFe = 1u << 1;
constexpr std::uint16_t kRe = 1u << 2, kTe = 1u << 3, kRxneie = 1u << 5, kUe = 1u << 13;
constexpr int kLine = 37;
constexpr std::uint16_t kBrr115200At32MHz = 0x116;

class UsartModel : public ::testing::Test {
 protected:
  UsartModel() {
    usart.write(kBrr, 2, kBrr115200At32MHz);
    usart.onTransmit([this](const Usart::Frame& frame) {
      sent.push_back(frame);
      sentAt.push_back(clock.now());
    });
  }

  std::uint16_t sr() { return static_cast<std::uint16_t>(usart.read(kSr, 2)); }
  bool linePending() { return interrupts.isPending(sim::InterruptController::irq(kLine)); }
  void clearPending() { nvic.write(offsetof(NVIC_TypeDef, ICPR) + 4 * (kLine / 32), 4, 1u << (kLine % 32)); }
  Usart::Frame frame(std::uint8_t byte) const { return Usart::Frame{byte, usart.bitTime()}; }

  sim::Clock clock;
  sim::InterruptController interrupts{clock, {}};
  sim::NvicRegisters nvic{interrupts};
  std::uint32_t busHz = 32'000'000;
  Usart usart{"USART1", clock, interrupts, kLine, [this] { return busHz; }};
  std::vector<Usart::Frame> sent;
  std::vector<Time> sentAt;
};

TEST_F(UsartModel, ASecondByteBeforeTheFirstIsTakenIsLostAsAnOverrun) {
  usart.write(kCr1, 2, kUe | kRe);
  usart.receive(frame('a'));
  usart.receive(frame('b'));
  EXPECT_EQ(usart.overruns(), 1u);
  EXPECT_TRUE(sr() & kOre);
  EXPECT_EQ(usart.read(kDr, 2), 'a');
  // SR then DR cleared the overrun; the next byte is received normally.
  EXPECT_EQ(sr() & (kOre | kRxne), 0);
  usart.receive(frame('c'));
  EXPECT_EQ(usart.read(kDr, 2), 'c');
  EXPECT_EQ(usart.overruns(), 1u);
}

TEST_F(UsartModel, AnOverrunStaysFlaggedUntilStatusThenDataAreRead) {
  usart.write(kCr1, 2, kUe | kRe);
  usart.receive(frame('a'));
  usart.receive(frame('b'));
  usart.read(kDr, 2);  // data read without a status read first
  EXPECT_TRUE(sr() & kOre);
  usart.read(kDr, 2);
  EXPECT_FALSE(sr() & kOre);
}

TEST_F(UsartModel, TheReceiveInterruptLineFollowsDataPresentAndItsEnable) {
  usart.write(kCr1, 2, kUe | kRe);
  usart.receive(frame('a'));
  EXPECT_FALSE(linePending());  // source not enabled

  usart.write(kCr1, 2, kUe | kRe | kRxneie);
  EXPECT_TRUE(linePending());  // enabling with data waiting raises the line

  clearPending();
  EXPECT_TRUE(linePending());  // the source still asserts the line: it stays pending
  usart.read(kDr, 2);          // line drops with RXNE
  clearPending();
  EXPECT_FALSE(linePending());
  usart.receive(frame('b'));
  EXPECT_TRUE(linePending());  // and rises again with the next byte

  usart.write(kSr, 2, static_cast<std::uint16_t>(~kRxne));  // RXNE cleared by writing 0
  clearPending();
  EXPECT_FALSE(linePending());
  usart.receive(frame('c'));
  EXPECT_TRUE(linePending());
}

TEST_F(UsartModel, BytesWrittenWhileTheShiftRegisterIsBusyWaitInTheDataRegister) {
  usart.write(kCr1, 2, kUe | kTe);
  const Time frameTime = sim::cyclesToTime(10 * kBrr115200At32MHz, 32'000'000);

  usart.write(kDr, 2, 'a');
  EXPECT_TRUE(sr() & kTxe);  // moved straight into the idle shift register
  EXPECT_FALSE(sr() & kTc);
  usart.write(kDr, 2, 'b');
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
  usart.write(kCr1, 2, kUe | kTe);
  usart.write(kDr, 2, 'a');
  busHz = 2'097'152;  // the clock tree switches while 'a' is on the line
  usart.write(kDr, 2, 'b');
  clock.advanceTo(sim::seconds(1));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bitTime, sim::cyclesToTime(kBrr115200At32MHz, 32'000'000));
  EXPECT_EQ(sent[1].bitTime, sim::cyclesToTime(kBrr115200At32MHz, 2'097'152));
  EXPECT_EQ(sentAt[1] - sentAt[0], sim::cyclesToTime(10 * kBrr115200At32MHz, 2'097'152));
}

TEST_F(UsartModel, NothingIsSentOrReceivedWhileTheDirectionOrThePortIsOff) {
  usart.write(kCr1, 2, kUe);  // neither TE nor RE
  usart.write(kDr, 2, 'a');
  usart.receive(Usart::Frame{'b', usart.bitTime()});
  usart.write(kCr1, 2, kTe | kRe);  // directions on, port off
  usart.write(kDr, 2, 'c');
  usart.receive(Usart::Frame{'d', usart.bitTime()});
  clock.advanceTo(sim::milliseconds(1));
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(sr() & kRxne, 0);
  EXPECT_TRUE(sr() & kTxe);
}

TEST_F(UsartModel, AFrameAtAFarDifferentRateArrivesWithAFramingError) {
  usart.write(kCr1, 2, kUe | kRe);
  usart.receive(Usart::Frame{'a', usart.bitTime() * 6 / 5});
  EXPECT_EQ(usart.framingErrors(), 1u);
  EXPECT_TRUE(sr() & kFe);
  usart.read(kDr, 2);
  EXPECT_FALSE(sr() & kFe);
  // Within the receiver's tolerance the byte is fine.
  usart.receive(Usart::Frame{'b', usart.bitTime() * 101 / 100});
  EXPECT_FALSE(sr() & kFe);
  EXPECT_EQ(usart.read(kDr, 2), 'b');
}

}  // namespace
