// A script line at run time: what it can reach (ScriptContext) and how it
// runs (ScriptStep). Waits and watches hear of bytes on the serial lines and
// changes of the pins while they last.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "../board.h"
#include "../core/virtual_time.h"

namespace sim {

class Board;
class SerialEndpoint;

// What a running script line can reach. The virtual board provides all of it;
// a real board on a serial port only the serial lines and the time.
class ScriptContext {
 public:
  virtual ~ScriptContext() = default;

  virtual Time now() const = 0;
  // Bytes sent to the board on a serial line, from now, back to back.
  virtual void send(std::string_view line, std::string_view bytes) = 0;
  // Everything the board sent on a serial line so far, raw.
  virtual const std::string& received(std::string_view line) const = 0;
  // End of the previous match on a serial line (waits go on from there).
  virtual std::size_t& matchEnd(std::string_view line) = 0;
  // Standard output, for `print`.
  virtual void print(const std::string& text) = 0;
  // True once the firmware's main has returned.
  virtual bool mainReturned() const = 0;
  // The virtual board; nullptr on a real board (commands that need it are
  // refused before such a run starts).
  virtual Board* board() = 0;
  // From now on bytes sent on a serial line may be lost (the board's receiver
  // off, a module in reset, the run's end): named, but no failure. Only the
  // virtual board knows what it lost.
  virtual void expectLoss(std::string_view line) { (void)line; }

  // Ends the run: the current line failed for the reason given.
  [[noreturn]] void fail(const std::string& what) {
    endWithFailure(what);
    throw std::logic_error("a failed script line did not end the run");
  }

 protected:
  // Throws whatever ends the run where this context runs.
  virtual void endWithFailure(const std::string& what) = 0;
};

// What a line does when it starts.
struct StepStart {
  enum class Kind {
    Done,   // finished at once
    Wait,   // the script waits here until an event finishes it or `limit` passes
    Watch,  // finished, but keeps hearing events until the end of the run (and may fail it)
  };
  Kind kind = Kind::Done;
  Time limit = 0;

  static StepStart done() { return {}; }
  static StepStart wait(Time limit) { return {Kind::Wait, limit}; }
  static StepStart watch() { return {Kind::Watch, 0}; }
};

// One parsed script line, ready to run. Events reach it while it waits or
// watches; a `true` from an event handler means the wait is over.
class ScriptStep {
 public:
  virtual ~ScriptStep() = default;
  virtual StepStart begin(ScriptContext& context) = 0;
  // A byte came out on a serial line.
  virtual bool onByte(ScriptContext& context, std::string_view line) {
    (void)context;
    (void)line;
    return false;
  }
  // The pin whose changes onPin() is for, while the line waits or watches;
  // only pins some line names are listened to, edge by edge.
  virtual std::optional<PinName> watchedPin() const { return std::nullopt; }
  // A pin of the virtual board changed level.
  virtual bool onPin(ScriptContext& context, PinName pin, Level level) {
    (void)context;
    (void)pin;
    (void)level;
    return false;
  }
  // The firmware's main returned.
  virtual bool onMainReturned(ScriptContext& context) {
    (void)context;
    return false;
  }
  // The wait's limit has passed: returns when that is the expected outcome
  // (`run`, `steady`), calls context.fail() otherwise.
  virtual void onLimit(ScriptContext& context) = 0;
};

}  // namespace sim
