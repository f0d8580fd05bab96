// The far end of one of the board's serial lines: an operator's terminal on the
// console port, or the ZigBee module's UART. It is wired to two nets: it drives
// the board's RX line with its own output (idle high) and listens to the
// board's TX line through its receiver, which has a pull-up as a USB serial
// adapter's has. It runs at its own fixed rate (115200 bit/s, 8N1) and samples
// what the board sends at its own bit centres, so a board sending at a rate off
// by more than a receiver tolerates shows framing errors instead of text.
//
// Nominally (no timing seed) it sends bytes to the board back to back at
// exactly that rate. A real adapter does neither: its rate is its own clock
// divided down, off by a fraction of a percent, and its transmitter leaves
// idle time between bytes when its buffer runs dry. With a seed the end's rate
// is one draw for the run within kRateTolerancePpm ("NAME.rate") and each byte
// sent waits an idle gap of 0 to kMaxGapSixteenths/16 bit times after the one
// before it ("NAME.gap", a draw per byte); a byte sent to an idle line that has
// been idle that long already starts at once. Both are kept by the end's own
// clock; on the board's clock they are scaled by the board oscillator's error
// in effect when each frame or gap begins (Clock::outside).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/clock.h"
#include "../core/listeners.h"
#include "../core/net.h"
#include "../core/timing_tolerances.h"
#include "../core/uart_line.h"

namespace sim {

class SerialEndpoint {
 public:
  ~SerialEndpoint();
  SerialEndpoint(const SerialEndpoint&) = delete;
  SerialEndpoint& operator=(const SerialEndpoint&) = delete;

  static constexpr std::uint32_t kDefaultBaud = 115200;
  // The rate's error, either way: USB serial adapters make 115200 bit/s by
  // dividing a 48 MHz or 12 MHz clock, which lands within a few tenths of a
  // percent (e.g. 115,385 bit/s, +0.16 %), and a ZigBee module's UART divides
  // its radio crystal as finely. ±1 % covers them with room to spare and stays
  // well inside what the board's receiver takes: a USART sampling 16 times per
  // bit reads frames whose rate is off from its own by up to about 3.4 %, and
  // the board's own rate is off by up to +1.1 % when it runs on MSI without
  // the crystal; 1 % + 1.1 % leaves more than a percent to spare.
  static constexpr std::uint32_t kRateTolerancePpm = 10'000;
  // The longest idle gap between two bytes, in sixteenths of a bit time (an
  // adapter's transmitter runs off a clock 16 times its bit rate): 3 bit times.
  static constexpr std::uint64_t kMaxGapSixteenths = 48;

  // Why the board's receiver would not hear a byte that ends now ("USART1
  // receiver off"); empty while it listens.
  using Deafness = std::function<std::string()>;

  // `toBoard`: the board's RX net, which this end drives; `fromBoard`: the
  // board's TX net, which this end listens to. `timing` gives the rate and the
  // gaps between bytes (nominal: exactly `baud`, back to back). `deafness`,
  // when given, is asked at the stop bit of every counted byte sent, so that a
  // byte the board did not hear is reported through onLost().
  SerialEndpoint(std::string name, Clock& clock, Net& toBoard, Net& fromBoard, std::uint32_t baud = kDefaultBaud,
                 const TimingTolerances& timing = TimingTolerances{}, Deafness deafness = {});

  const std::string& name() const { return name_; }
  // Every byte received intact from the board, raw (CR LF as on the wire).
  const std::string& received() const { return received_; }
  std::uint64_t framingErrors() const { return framingErrors_; }
  // Listeners for intact bytes and for bytes lost to framing errors; each stays
  // until its Subscription is dropped.
  [[nodiscard]] Subscription onByte(std::function<void(std::uint8_t)> listener) {
    return byteListeners_.add(std::move(listener));
  }
  [[nodiscard]] Subscription onFramingError(std::function<void(std::uint8_t)> listener) {
    return errorListeners_.add(std::move(listener));
  }
  // A byte sent to the board went unheard, as on the board, because the
  // board's receiver was not listening when it arrived; `sentAt` is when the
  // send() it came from was called, `reason` says why ("USART1 receiver off").
  // Known only for an end told the board's deafness.
  [[nodiscard]] Subscription onLost(std::function<void(std::uint8_t byte, Time sentAt, const std::string& reason)> listener) {
    return lostListeners_.add(std::move(listener));
  }

  // Queues bytes for the board; they go out after whatever is still being
  // sent, each after its idle gap (none when nominal), the first one starting
  // now if the line has been idle long enough. Bytes that arrive while the
  // board's receiver is off are lost, as on the board.
  void send(std::string_view bytes);
  // The same for bytes that came from further away (a radio peer, through a
  // module): `sentAt` is when they were first sent, and with `counted` false
  // (a module's own notices) their loss is nobody's concern.
  void send(std::string_view bytes, Time sentAt, bool counted);
  // When each counted byte not yet at the board was sent (the one on the
  // line first): what a run that ends now leaves undelivered.
  std::vector<Time> undelivered() const;
  bool sending() const { return !outbox_.empty() || transmitter_.busy(); }
  // Virtual time at which everything queued so far has arrived at the board.
  Time sendDoneAt() const;
  // This end's bit time, for both directions, on the board's clock now.
  Time bitTime() const { return clock_.outside(ownBitTime_); }

 private:
  void fromBoard(std::uint16_t data, bool framingError);
  void sendNext();
  Time frameTime() const { return 10 * bitTime(); }

  std::string name_;
  Clock& clock_;
  Time ownBitTime_;  // by this end's own clock
  NetDriver output_;    // on the board's RX line
  NetDriver receiver_;  // the pull-up of this end's receiver, on the board's TX line
  UartTransmitter transmitter_;
  UartSampler sampler_;
  std::string received_;
  std::uint64_t framingErrors_ = 0;
  struct Outgoing {
    std::uint8_t byte;
    Time sentAt;
    Time gap;  // idle line before it, after the byte before it, by this end's clock
    bool counted;  // a byte the run must see delivered
  };
  std::deque<Outgoing> outbox_;
  std::optional<Outgoing> onLine_;  // the byte being sent
  TimingTolerances::Stream gaps_;
  Time lastEnd_ = 0;                // the end of the last frame's stop bit
  Clock::EventId startEvent_ = 0;  // the head of the outbox waiting out its gap
  Deafness deafness_;  // of the board's receiver, when known
  Listeners<std::uint8_t> byteListeners_;
  Listeners<std::uint8_t> errorListeners_;
  Listeners<std::uint8_t, Time, const std::string&> lostListeners_;
};

}  // namespace sim
