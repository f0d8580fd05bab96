// A Value Change Dump of the board's signals, as a logic analyzer clipped onto
// the board would record them, readable by waveform viewers and by protocol
// decoders.
//
// The file is written as the run goes through a fixed buffer, never held in
// memory. Times are in picoseconds: a quantum of virtual time is about 10 ps, so
// every edge keeps its own timestamp, and the conversion rounds down, so edges
// never swap order.
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
#include <vector>

#include "../core/net.h"
#include "../core/virtual_time.h"

namespace sim {

class VcdWriter {
 public:
  using SignalId = std::size_t;
  // Where the writer stands in virtual time: changes up to here are final.
  using Now = std::function<Time()>;

  // Opens (creates or truncates) `path`; throws std::runtime_error when it
  // cannot. Nothing is written until begin().
  VcdWriter(std::string path, Now now);
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
  std::uint64_t lastStamp_ = 0;
  bool begun_ = false;
  bool finished_ = false;
  std::string error_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

}  // namespace sim
