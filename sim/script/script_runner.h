// Runs a parsed script against a virtual board.
//
// The runner has no thread and no loop of its own: the firmware runs, and the
// runner acts from the board's clock. It carries out lines at the current
// virtual time until one has to wait (for console text, a pin, time to pass),
// then goes on from the event, byte or pin change that ends the wait. The end
// of the script and a failed line end the run by throwing sim::Stop.
#pragma once

#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../board.h"
#include "command_table.h"
#include "script.h"

namespace sim {

class ScriptRunner : private ScriptContext {
 public:
  // Bytes of console output quoted in failure messages.
  static constexpr std::size_t kContextBytes = 200;

  struct Options {
    bool verbose = false;           // every line as it starts, with its virtual time
    std::FILE* out = stdout;        // `print`
    std::FILE* trace = stderr;      // the verbose lines
  };

  // Listens to the board's serial lines and pins from now on; the runner must
  // outlive every use of the board's clock while it is active.
  ScriptRunner(Board& board, Script script, Options options);
  ScriptRunner(Board& board, Script script) : ScriptRunner(board, std::move(script), Options{}) {}
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;
  ~ScriptRunner() override;

  // Carries out the lines due at the current virtual time. Throws
  // Stop(Completed) when they are all done, Stop(Failed) when one fails.
  void start();

  bool finished() const { return finished_; }
  // The script line in progress (waiting, or about to run); nullptr when done.
  const ScriptLine* current() const;
  // The run ends for another reason: the runner stops acting.
  void halt();

  // The firmware's main returned: a line waiting for that goes on, and the
  // script keeps running while the board lets its last bytes out.
  void mainReturned();
  // After that: the failure when lines were left unrun
  // ("main returned at 3.200 s; lines 7-9 not run"), nullopt when none were.
  std::optional<std::string> unrunAfterReturn() const;

  // At the end of a run whose script did not fail: bytes the script sent that
  // the board never received (lost, or still on their way when the run
  // ended), unless the script said it expected that; nullopt when none were.
  std::optional<std::string> unexpectedLosses();

  // Message for a run that ended before the script did, naming the line in
  // progress and the last console output.
  std::string unfinishedMessage(const std::string& reason) const;

 private:
  // ScriptContext
  Time now() const override;
  void send(std::string_view line, std::string_view bytes) override;
  const std::string& received(std::string_view line) const override;
  std::size_t& matchEnd(std::string_view line) override;
  void print(const std::string& text) override;
  bool mainReturned() const override { return mainReturnedAt_.has_value(); }
  Board* board() override { return &board_; }
  void expectLoss(std::string_view line) override;
  void endWithFailure(const std::string& what) override;

  void proceed();
  void byteOn(std::string_view line);
  void pinChanged(PinName pin, Level level);
  // Listens to exactly the pins the waiting and watching lines name.
  void updatePinWatches();
  void waitOver();
  std::string context() const;
  std::string lostSends() const;
  SerialEndpoint& endpoint(std::string_view line) const;
  void recordLost(const std::string& line, Time sentAt, const std::string& reason);

  struct LostSend {
    std::string line;
    Time sentAt;      // of the first byte
    Time lastSentAt;  // of the last
    std::size_t bytes;
    std::string reason;
    bool expected;  // sent after the script said it expected losses on the line
  };
  // Per serial line: from when on the script expects losses.
  std::map<std::string, Time, std::less<>> lossExpectedFrom_;
  bool failed_ = false;  // a failure's message has named the losses

  Board& board_;
  Script script_;
  Options options_;
  std::size_t next_ = 0;                  // index of the next line to carry out
  ScriptLine* waiting_ = nullptr;         // the line waiting
  const ScriptLine* executing_ = nullptr; // the line being carried out now
  std::vector<ScriptLine*> watches_;      // lines watching until the end of the run
  const ScriptLine* active_ = nullptr;    // the line a failure is reported against
  std::map<std::string, std::size_t, std::less<>> matchEnd_;
  // Each serial line's end and match position, looked up at every byte.
  struct LineState {
    std::string name;
    SerialEndpoint* endpoint;
    std::size_t* matchEnd;  // in matchEnd_, whose nodes stay put
  };
  std::vector<LineState> lines_;
  std::vector<LostSend> lost_;
  std::optional<Time> mainReturnedAt_;
  std::vector<Subscription> subscriptions_;
  // The pins the lines waiting or watching name, each listened to.
  std::vector<std::pair<PinName, Subscription>> pinWatches_;
  Clock::EventId event_ = 0;  // pending limit, or continuation
  bool started_ = false, finished_ = false, halted_ = false;
};

}  // namespace sim
