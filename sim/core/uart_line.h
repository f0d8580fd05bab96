// A serial line's waveform: how a sender shapes frames on a net and how a
// receiver reads them back, for the board's USARTs and for the far ends wired
// to them alike.
//
// A frame is the line at idle high, a start bit (low), the data bits LSB first
// and the stop bit (high). The sender changes the net's level only at the bit
// edges where the level really changes. The receiver, once it sees the falling
// edge of a start bit, samples the line at the centres of ITS OWN bit times:
// the start bit (high there: a glitch, not a frame), every data bit, and the
// stop bit, which must read high or the frame has a framing error. A sender at
// another rate therefore gives the same garbage byte and framing error a real
// receiver would. The line is sampled just before each centre instant, so
// which of two events at the same quantum runs first never matters.
//
// A frame nobody needs edge by edge travels whole: when the sender's output
// stage drives the net as it is (push-pull), nothing else drives the net hard,
// no listener hears every edge and each receiver on the net samples at the
// sender's own bit time, the net carries the frame (Net::carry): its level at
// any instant is computed from the frame, each receiver reads the byte from
// the frame at its stop-bit centre, and no event marks the bit edges. The
// moment anything touches the net (another driver, a listener of every edge,
// a trace) the frame goes on edge by edge from that instant, so what anyone
// sees is the same either way. A frame sent whole schedules its end, and its
// receivers their stop-bit samples, when it starts rather than at its last
// edge and its start-bit centre; an event due at the very same quantum may
// therefore run on the other side of them, but neither touches anything such
// an event reads or changes (a stop-bit sample reads only its own line, the
// end only sets the port's own flags).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "clock.h"
#include "listeners.h"
#include "net.h"

namespace sim {

// What a receiver expects, or a sender sends.
struct UartFormat {
  Time bit = 0;           // one bit time; 0: the receiver is not listening
  unsigned dataBits = 8;  // 8 or 9
};

class UartTransmitter : private NetCarrier {
 public:
  using SetLevel = std::function<void(Level)>;
  // The driver through which the level reaches its net unchanged (a push-pull
  // stage), or nullptr when there is none now.
  using DirectDriver = std::function<NetDriver*()>;

  // `setLevel` puts a level on the line (the sender's output stage);
  // `direct` (optional) lets frames travel whole on its driver's net.
  UartTransmitter(Clock& clock, SetLevel setLevel, DirectDriver direct = {});
  ~UartTransmitter();
  UartTransmitter(const UartTransmitter&) = delete;
  UartTransmitter& operator=(const UartTransmitter&) = delete;

  // Starts a frame now: the start bit, `format.dataBits` bits of `data` LSB
  // first, then the line high for `stopTime`; `done` runs at the end of it.
  void send(std::uint16_t data, UartFormat format, Time stopTime, std::function<void()> done);
  // Forgets the frame on the line (the sender is reset); the caller sets the line.
  void abort();
  // The sender's clock stops: the line stays where it is, and the rest of the
  // frame goes on, as late as the pause lasted, after resume().
  void pause();
  void resume();
  bool busy() const { return event_ != 0 || endEvent_ != 0 || paused_; }
  // When the frame on the line ends; now when idle.
  Time endsAt() const { return busy() ? end_ : clock_.now(); }
  // The frame on the line travels whole (no event per edge).
  bool carriedWhole() const { return carriedOn_ != nullptr; }

 private:
  void scheduleNextEdge();
  void finish();
  void carryCut(const LineFrame& frame) override;
  void netGone() override;

  Clock& clock_;
  SetLevel setLevel_;
  DirectDriver direct_;
  Net* carriedOn_ = nullptr;      // the net carrying the frame whole
  Clock::EventId endEvent_ = 0;  // the end of a frame sent whole, also once cut
  std::uint32_t bits_ = 0;  // bit i of the frame after the start bit, stop bit included
  unsigned count_ = 0;      // bits in bits_
  unsigned index_ = 0;      // next bit to put on the line
  Time start_ = 0, bit_ = 0, end_ = 0;
  Level level_ = Level::High;
  Clock::EventId event_ = 0;
  bool paused_ = false;
  Time pausedAt_ = 0;
  std::function<void()> done_;
};

class UartSampler : private NetFrameListener {
 public:
  // The receiver's format now; bit 0 while it does not listen.
  using FormatNow = std::function<UartFormat()>;
  // A frame's data and whether its stop bit read low; called at the end of the
  // receiver's own stop bit.
  using Deliver = std::function<void(std::uint16_t data, bool framingError)>;

  UartSampler(Clock& clock, FormatNow format, Deliver deliver);
  ~UartSampler();
  UartSampler(const UartSampler&) = delete;
  UartSampler& operator=(const UartSampler&) = delete;

  // Listens to `net` from now on.
  void watch(Net& net);
  // Drops a frame being received (the receiver is reset or turned off).
  void abort();
  bool receiving() const { return centreEvent_ != 0; }
  // The frame being received was taken whole from its sender.
  bool takingWhole() const { return whole_; }

 private:
  bool canTakeFrame(const LineFrame& frame) const override;
  void takeFrame(const LineFrame& frame) override;
  void frameCut(const LineFrame& frame) override;
  void edge(Level level);
  void startBitCentre();
  void stopBitCentre();
  Level levelBefore(Time t) const;
  void slotsFor(const LineFrame& frame);

  Clock& clock_;
  FormatNow format_;
  Deliver deliver_;
  Subscription watching_;
  UartFormat frame_;  // the format the frame in progress is sampled with
  Time start_ = 0;
  // Edges seen since the start edge, (time, level after it).
  std::vector<std::pair<Time, Level>> edges_;
  Clock::EventId centreEvent_ = 0;
  Clock::EventId deliverEvent_ = 0;
  std::uint16_t pendingData_ = 0;
  bool pendingError_ = false;
  bool whole_ = false;  // the frame in progress is `carried_`, taken whole
  LineFrame carried_;
  // The frame slot of each sample (see slotsFor) and the rates it is for.
  std::array<std::uint8_t, 10> sampleSlot_{};
  Time slotsFrameBit_ = 0, slotsOwnBit_ = 0;
  unsigned slotsDataBits_ = 0;
};

}  // namespace sim
