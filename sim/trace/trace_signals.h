// The board's signals a logic analyzer can record, named by pin and board
// name ("PC7_LED1", "PA9_CONSOLE_TX"), the choice of signals for a trace, and
// the recorder that feeds their edges to a VCD file while the board runs.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../board.h"
#include "../core/listeners.h"
#include "vcd_writer.h"

namespace sim {

struct TraceSignal {
  PinName pin;        // PC7
  const char* role;   // the board's name of the line, "LED1"
  const char* group;  // "leds", "console", ...
  std::string name() const { return pinText(pin) + "_" + role; }
};

// Every signal the board can trace (every named line of the board), in the
// order they appear in a trace.
const std::vector<TraceSignal>& traceSignals();

// Picks signals from a comma-separated list. Each item is a signal's full name
// ("PC7_LED1"), its pin ("PC7"), its board name ("LED1"), a group ("leds",
// "actuators", "inputs", "dip", "zigbee_reset", "pir", "console", "zigbee",
// "i2c") or "all"; case does not matter. Nullopt and a message naming the
// item and the choices when an item names nothing.
std::optional<std::vector<TraceSignal>> selectTraceSignals(const std::string& list, std::string& error);

// Records the chosen signals of a board into a VCD file from now on: every
// level change of their wires, which carry the serial frames and the I2C bus
// bit by bit as the peripherals and the far ends drive them.
class BoardTrace {
 public:
  // Opens the file (throws std::runtime_error when it cannot) and writes the
  // header with each signal's level now; `unitPs` is the file's time unit.
  BoardTrace(Board& board, const std::string& path, const std::vector<TraceSignal>& signals,
             std::uint64_t unitPs = VcdWriter::kDefaultUnitPs);
  ~BoardTrace();
  BoardTrace(const BoardTrace&) = delete;
  BoardTrace& operator=(const BoardTrace&) = delete;

  // Completes and closes the file; false with error() when the file did not
  // get everything.
  bool finish() { return writer_.finish(); }
  const std::string& error() const { return writer_.error(); }
  const VcdWriter& writer() const { return writer_; }

 private:
  Net& wireOf(const TraceSignal& signal);
  void traceWire(Net& wire, VcdWriter::SignalId id);

  Board& board_;
  VcdWriter writer_;
  std::vector<Subscription> subscriptions_;
};

}  // namespace sim
