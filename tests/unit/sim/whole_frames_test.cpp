// Serial frames that travel whole: a sender whose frames nobody needs edge by
// edge puts each one on its net as a single event, and the receivers read it
// from the frame. Every case runs the same line twice, once so and once with a
// listener of every edge (which makes the line go edge by edge), and what the
// receiver reads, when, and what the net shows must be the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/net.h"
#include "sim/core/stop.h"
#include "sim/core/uart_line.h"

namespace {

using sim::Drive;
using sim::Level;
using sim::Time;

constexpr Time kBit = sim::fraction(1, 115200);

struct Received {
  std::uint16_t data;
  bool framingError;
  Time at;
  friend bool operator==(const Received&, const Received&) = default;
};

// A sender and a receiver on one wire, the receiver at its own bit time.
struct Line {
  explicit Line(Time receiverBit, bool watchEdges, unsigned receiverBits = 8)
      : net("wire", &clock, Level::High),
        out(net, "sender"),
        sender(
            clock, [this](Level level) { out.set(level == Level::High ? Drive::High : Drive::Low); },
            [this] { return &out; }),
        receiver(
            clock, [receiverBit, receiverBits] { return sim::UartFormat{receiverBit, receiverBits}; },
            [this](std::uint16_t data, bool fe) { received.push_back({data, fe, clock.now()}); }) {
    out.set(Drive::High);
    receiver.watch(net);
    if (watchEdges) watch();
  }
  void watch() {
    edgeWatch = net.onChange([this](Level level) { edges.emplace_back(clock.now(), level); });
  }
  // Sends `bytes` back to back at `bit` per bit, then lets the line settle.
  void sendAll(const std::vector<std::uint16_t>& bytes, Time bit = kBit, unsigned dataBits = 8) {
    queue = bytes;
    next = 0;
    sendNext(bit, dataBits);
    clock.advanceTo(clock.now() + (bytes.size() + 2) * 12 * bit);
  }
  void sendNext(Time bit, unsigned dataBits) {
    if (next == queue.size()) return;
    std::uint16_t byte = queue[next++];
    sender.send(byte, sim::UartFormat{bit, dataBits}, bit, [this, bit, dataBits] {
      // An idle gap before the next byte, when the test gives one.
      Time gap = gaps.empty() ? 0 : gaps[next % gaps.size()];
      if (gap == 0) {
        sendNext(bit, dataBits);
      } else {
        clock.after(gap, [this, bit, dataBits] { sendNext(bit, dataBits); });
      }
    });
    if (sender.carriedWhole()) ++wholeFrames;
  }

  sim::Clock clock;
  sim::Net net;
  sim::NetDriver out;
  sim::UartTransmitter sender;
  sim::UartSampler receiver;
  std::vector<Received> received;
  std::vector<std::pair<Time, Level>> edges;
  sim::Subscription edgeWatch;
  std::vector<std::uint16_t> queue;
  std::vector<Time> gaps;
  std::size_t next = 0;
  unsigned wholeFrames = 0;
};

const std::vector<std::uint16_t> kBytes = {0x00, 0xFF, 0x55, 0xAA, 'T', 'L', '5', '\r', '\n', 0x80, 0x01};

TEST(WholeFrames, ReceiversAtTheSendersRateOrCloseToItReadEachByteAsEdgeByEdgeAtTheSameInstant) {
  // The same rate, a terminal at 115,200 bit/s hearing a board at 115,075, and
  // a receiver 4 % slow: the last still reads every stop bit inside the frame.
  for (Time receiverBit : {kBit, sim::fraction(1, 115075), kBit * 104 / 100}) {
    Line whole(receiverBit, false);
    Line edges(receiverBit, true);
    whole.sendAll(kBytes);
    edges.sendAll(kBytes);
    EXPECT_EQ(whole.received, edges.received) << "receiver bit " << receiverBit;
    ASSERT_EQ(whole.received.size(), kBytes.size());
    EXPECT_EQ(whole.wholeFrames, kBytes.size()) << "no frame went edge by edge";
    EXPECT_EQ(edges.wholeFrames, 0u);
    // One event for the frame and two for the receiver's sampling, against
    // one per edge: the point of it all.
    EXPECT_LT(whole.clock.eventsScheduled() * 2, edges.clock.eventsScheduled());
  }
}

TEST(WholeFrames, ASenderOffByOnePercentWithIdleGapsBetweenBytesIsReadAsEdgeByEdgeAndIntact) {
  // A terminal 1 % slow or fast leaving a fraction of a bit to three bits of
  // idle line between bytes, heard by a board at 115,075 bit/s (crystal) or
  // at 116,508 (MSI, 1.1 % fast).
  for (Time receiverBit : {sim::fraction(1, 115075), sim::fraction(1, 116508)}) {
    for (Time senderBit : {kBit * 99 / 100, kBit * 101 / 100}) {
      Line whole(receiverBit, false);
      Line edges(receiverBit, true);
      for (Line* line : {&whole, &edges}) {
        line->gaps = {senderBit * 5 / 16, 0, senderBit * 3, senderBit / 16, senderBit * 23 / 16};
        line->sendAll(kBytes, senderBit);
        line->clock.advanceTo(line->clock.now() + 40 * senderBit);
      }
      EXPECT_EQ(whole.received, edges.received) << "receiver bit " << receiverBit << ", sender " << senderBit;
      ASSERT_EQ(whole.received.size(), kBytes.size());
      for (std::size_t i = 0; i < kBytes.size(); ++i) {
        EXPECT_EQ(whole.received[i].data, kBytes[i]) << "byte " << i;
        EXPECT_FALSE(whole.received[i].framingError) << "byte " << i;
      }
      EXPECT_EQ(whole.wholeFrames, kBytes.size());
    }
  }
}

TEST(WholeFrames, AReceiverThatWouldSeeAnotherStartBitInsideTheFrameGetsItEdgeByEdge) {
  // Twice as fast: its stop bit falls in the middle of the sender's data, and
  // the falling edges after it start frames of their own (garbage, errors).
  // Nine-bit receivers and receivers that do not listen decline as well.
  struct Case {
    Time bit;
    unsigned bits;
  };
  for (Case c : {Case{kBit / 2, 8}, Case{kBit * 3, 8}, Case{0, 8}}) {
    Line whole(c.bit, false, c.bits);
    Line edges(c.bit, true, c.bits);
    whole.sendAll(kBytes);
    edges.sendAll(kBytes);
    EXPECT_EQ(whole.received, edges.received) << "receiver bit " << c.bit;
    if (c.bit == kBit / 2) {
      EXPECT_FALSE(whole.received.empty());
    }
  }
}

TEST(WholeFrames, TheNetShowsTheFramesLevelAtEveryInstant) {
  Line whole(kBit, false);
  whole.sender.send(0x35, sim::UartFormat{kBit, 8}, kBit, nullptr);
  ASSERT_TRUE(whole.sender.carriedWhole());
  // Start bit, 1 0 1 0 1 1 0 0 (0x35 LSB first), stop bit, then idle.
  const Level expected[] = {Level::Low,  Level::High, Level::Low, Level::High, Level::Low, Level::High,
                            Level::High, Level::Low,  Level::Low, Level::High, Level::High};
  Time start = whole.clock.now();
  for (unsigned slot = 0; slot < 11; ++slot) {
    whole.clock.advanceTo(start + slot * kBit + kBit / 2);
    EXPECT_EQ(whole.net.level(), expected[slot]) << "slot " << slot;
  }
  // At an edge's own instant the line already has the new level.
  Line other(kBit, false);
  other.sender.send(0x35, sim::UartFormat{kBit, 8}, kBit, nullptr);
  other.clock.advanceTo(other.clock.now() + kBit);
  EXPECT_EQ(other.net.level(), Level::High);
  EXPECT_NE(other.net.describeDrivers().find("sender: high"), std::string::npos);
}

TEST(WholeFrames, AListenerJoiningMidFrameHearsTheRestEdgeByEdgeAndTheReceiverStillReadsTheByte) {
  for (Time joinAt : {kBit / 4, kBit * 3 + kBit / 3, kBit * 8 + 1, kBit * 9 + kBit / 2}) {
    Line whole(sim::fraction(1, 115075), false);
    Line edges(sim::fraction(1, 115075), true);
    for (Line* line : {&whole, &edges}) {
      line->sender.send(0xC6, sim::UartFormat{kBit, 8}, kBit, nullptr);
      line->clock.advanceTo(joinAt);
    }
    whole.watch();
    EXPECT_FALSE(whole.sender.carriedWhole());
    EXPECT_EQ(whole.net.level(), edges.net.level());
    for (Line* line : {&whole, &edges}) line->clock.advanceTo(20 * kBit);
    std::vector<std::pair<Time, Level>> later;
    for (const auto& e : edges.edges) {
      if (e.first > joinAt) later.push_back(e);
    }
    EXPECT_EQ(whole.edges, later) << "joined at " << joinAt;
    EXPECT_EQ(whole.received, edges.received) << "joined at " << joinAt;
    ASSERT_EQ(whole.received.size(), 1u);
    EXPECT_EQ(whole.received[0].data, 0xC6);
  }
}

// Where a frame is cut short: the sender is reset mid-frame, or pauses, and the
// line stays where the frame had it.
TEST(WholeFrames, ASenderResetOrPausedMidFrameLeavesTheLineAndTheReceiverAsEdgeByEdge) {
  for (Time at : {kBit / 3, kBit * 2 + kBit / 2, kBit * 5 + kBit / 2}) {
    Line whole(kBit, false);
    Line edges(kBit, true);
    for (Line* line : {&whole, &edges}) {
      line->sender.send(0x0F, sim::UartFormat{kBit, 8}, kBit, nullptr);
      line->clock.advanceTo(at);
      line->sender.abort();
    }
    EXPECT_EQ(whole.net.level(), edges.net.level()) << "reset at " << at;
    for (Line* line : {&whole, &edges}) {
      line->out.set(Drive::High);  // the sender's stage back at idle
      line->clock.advanceTo(30 * kBit);
    }
    EXPECT_EQ(whole.received, edges.received) << "reset at " << at;
  }
  // Paused for three bits mid-frame: the rest comes as late.
  Line whole(kBit, false);
  Line edges(kBit, true);
  for (Line* line : {&whole, &edges}) {
    line->sender.send(0x5A, sim::UartFormat{kBit, 8}, kBit, nullptr);
    line->clock.advanceTo(kBit * 4 + kBit / 3);
    line->sender.pause();
    line->clock.advanceTo(kBit * 7 + kBit / 3);
    line->sender.resume();
    line->clock.advanceTo(30 * kBit);
  }
  EXPECT_EQ(whole.received, edges.received);
  EXPECT_FALSE(whole.received.empty());
}

TEST(WholeFrames, AnotherDriverOnTheLineMidFrameIsAShortAtTheInstantTheLevelsDisagree) {
  // 0xF0: the line is low for the start bit and four data bits, then high.
  // Something pulling the line low in the low part fights the sender only
  // when the frame goes high, at 5 bits; doing so in the high part is a short
  // at once.
  for (Time at : {kBit * 2, kBit * 6 + kBit / 2}) {
    Line whole(kBit, false);
    sim::NetDriver other(whole.net, "probe");
    whole.sender.send(0xF0, sim::UartFormat{kBit, 8}, kBit, nullptr);
    ASSERT_TRUE(whole.sender.carriedWhole());
    std::optional<Time> shortAt;
    try {
      whole.clock.advanceTo(at);
      other.set(Drive::Low);
      whole.clock.advanceTo(20 * kBit);
    } catch (const sim::Stop& stop) {
      EXPECT_EQ(stop.kind(), sim::StopKind::Short);
      shortAt = whole.clock.now();
    }
    ASSERT_TRUE(shortAt.has_value()) << "no short for a driver set at " << at;
    EXPECT_EQ(*shortAt, at < 5 * kBit ? 5 * kBit : at);
  }
  // Pulls on the line (a receiver's pull-up) do not stop a frame travelling
  // whole, and the frame wins over them at every instant.
  Line line(kBit, false);
  sim::NetDriver pull(line.net, "pull-down");
  pull.set(Drive::PullDown);
  line.sender.send(0xF0, sim::UartFormat{kBit, 8}, kBit, nullptr);
  EXPECT_TRUE(line.sender.carriedWhole());
  line.clock.advanceTo(5 * kBit + 1);
  EXPECT_EQ(line.net.level(), Level::High);
}

}  // namespace
