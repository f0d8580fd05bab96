// Runs a parsed script against a virtual board.
//
// The runner has no thread and no loop of its own: the firmware runs, and the
// runner acts from the board's clock. It carries out lines at the current
// virtual time until one has to wait (a `wait` for console text, a `run`), then
// goes on from the event or the received byte that ends the wait. The end of
// the script and a failed line end the run by throwing sim::Stop.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "../board.h"
#include "script.h"

namespace sim {

class ScriptRunner {
 public:
  // Bytes of console output quoted in failure messages.
  static constexpr std::size_t kContextBytes = 200;

  // Listens to the board's serial lines from now on; the runner must outlive
  // every use of the board's clock while it is active.
  ScriptRunner(Board& board, Script script);
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;
  ~ScriptRunner();

  // Carries out the lines due at the current virtual time. Throws
  // Stop(Completed) when they are all done, Stop(Failed) when one fails.
  void start();

  bool finished() const { return finished_; }
  // The script line in progress (waiting, or about to run); nullptr when done.
  const ScriptCommand* current() const;
  // The run ends for another reason: the runner stops acting.
  void halt();

  // Message for a run that ended before the script did, naming the line in
  // progress and the last console output.
  std::string unfinishedMessage(const std::string& reason) const;

 private:
  void proceed();
  bool execute(const ScriptCommand& cmd);  // false when the line has to wait
  void received(const std::string& port);
  [[noreturn]] void fail(const ScriptCommand& cmd, const std::string& what) const;
  std::string context() const;
  SerialEndpoint& endpoint(const std::string& port);

  Board& board_;
  Script script_;
  std::size_t next_ = 0;                         // index of the next line to carry out
  const ScriptCommand* executing_ = nullptr;     // the line being carried out now
  const ScriptCommand* waiting_ = nullptr;       // the wait in progress
  std::map<std::string, std::size_t> matchEnd_;  // per line: end of the last match
  Clock::EventId event_ = 0;                     // pending timeout, end of a run, or continuation
  bool started_ = false, finished_ = false, halted_ = false;
  // Cleared when the runner goes; the board's byte listeners outlive it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sim
