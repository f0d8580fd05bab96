// A Value Change Dump of the board's signals, as a logic analyzer clipped onto
// the board would record them, readable by waveform viewers and by protocol
// decoders.
//
// The file is written as the run goes through a fixed buffer, never held in
// memory.
//
// Time unit. Logic-analyzer software reads a VCD as samples at one per time
// unit, so the unit decides how fast a trace opens and what a decoder can see:
// 100 ns (the default) is 10 million samples per second of trace, which
// sigrok and PulseView load in moments, while still 25 samples per bit of
// I2C at 400 kHz and 87 per bit of a 115200 bit/s line. Finer units (down to
// 1 ps, where a quantum of virtual time, about 0.3 ps, is finer still) are for
// looking at edges closely.
//
// Order within a time unit. Times convert rounding down, so edges never swap
// order; but edges at different instants that round to the same unit would
// come out as simultaneous, and two edges of one signal in one unit (a glitch
// on SDA) would vanish from a viewer, which shows the last value of a
// timestamp only. So every change at an instant later than the previous
// change, and every second change of a signal, goes one unit after the
// previous change when rounding would put it in the same unit: nothing
// vanishes and nothing that happened one after the other reads as
// simultaneous. Edges at the same instant stay together. Spaced edges are at
// most a few units late and come back to their own times at the next gap
// (spaced() and latestPs() tell by how much).
//
// Changes normally arrive at the current virtual time. A source that knows a
// waveform ahead (the bits of a frame that has just started) may report changes
// in the future: they are held back, in time order, until virtual time has
// passed them, so the file stays sorted whatever the order of reporting.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "../core/net.h"
#include "../core/virtual_time.h"

namespace sim {

class VcdWriter {
 public:
  using SignalId = std::size_t;
  // Where the writer stands in virtual time: changes up to here are final.
  using Now = std::function<Time()>;

  // The default time unit, in picoseconds.
  static constexpr std::uint64_t kDefaultUnitPs = 100'000;

  // Opens (creates or truncates) `path`; throws std::runtime_error when it
  // cannot. Nothing is written until begin(). `unitPs` is the file's time
  // unit in picoseconds: 1, 10 or 100 ps, ns or us (see parseUnit()).
  VcdWriter(std::string path, Now now, std::uint64_t unitPs = kDefaultUnitPs);
  ~VcdWriter();
  VcdWriter(const VcdWriter&) = delete;
  VcdWriter& operator=(const VcdWriter&) = delete;

  // Declares a one-bit signal (letters, digits and '_'), before begin().
  SignalId addSignal(const std::string& name, Level initial);
  // Writes the header and every signal's initial value at time 0.
  void begin();

  // `signal` takes `level` at `when` (now or later). A failed write throws
  // Stop(Failed) naming the file and the reason, which ends the run.
  void change(SignalId signal, Time when, Level level);

  // Writes everything held back and closes the file; false (and error()) when
  // anything failed to reach the file. Safe to call more than once.
  bool finish();
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  // Picoseconds since power-on of a virtual time (rounded down).
  static std::uint64_t picoseconds(Time t);
  // Whole time units of `unitPs` picoseconds since power-on (rounded down).
  static std::uint64_t units(Time t, std::uint64_t unitPs);
  // The time unit a text names ("100ns", "1ps", "1us"; "µs" too) in
  // picoseconds, or 0 when it names none a VCD can carry (1, 10 or 100 of ps,
  // ns or us).
  static std::uint64_t parseUnit(std::string_view text);
  // The unit as the file's header writes it ("100ns").
  static std::string unitText(std::uint64_t unitPs);
  std::uint64_t unitPs() const { return unitPs_; }

  // Edges written later than their own time unit to keep them apart (see
  // above), and the most any was late, in picoseconds.
  std::uint64_t spaced() const { return spaced_; }
  std::uint64_t latestPs() const { return latestPs_; }

 private:
  struct Pending {
    Time when;
    std::uint64_t order;
    SignalId signal;
    Level level;
    bool operator>(const Pending& other) const {
      return when != other.when ? when > other.when : order > other.order;
    }
  };
  struct Signal {
    std::string name;
    std::string code;
    Level level;
    std::uint64_t changedAt = 0;  // the unit of its last change (its initial value: 0)
  };

  void emitDue(Time upTo);
  void emit(const Pending& change);
  void put(const std::string& text);
  void flushBuffer();
  void fail(const std::string& what);

  std::string path_;
  Now now_;
  int fd_ = -1;
  std::vector<Signal> signals_;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending_;
  std::uint64_t order_ = 0;
  std::uint64_t unitPs_;
  std::uint64_t lastStamp_ = 0;  // the unit of the last change written
  Time lastWhen_ = 0;            // the instant of the last change written
  std::uint64_t spaced_ = 0;
  std::uint64_t latestPs_ = 0;
  bool begun_ = false;
  bool finished_ = false;
  std::string error_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

}  // namespace sim
