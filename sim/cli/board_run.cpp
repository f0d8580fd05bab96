#include "board_run.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "cli_extensions.h"
#include "exit_status.h"
#include "queue_drops.h"
#include "sim/board.h"
#include "sim/program/run_stats.h"
#include "sim/core/stop.h"
#include "sim/program/stuck_watchdog.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/gdb_server.h"
#include "sim/endpoints/console_log.h"
#include "sim/endpoints/terminal_endpoint.h"
#include "sim/host/firmware_vectors.h"
#include "sim/script/immediate_command.h"
#include "sim/script/script_runner.h"
#include "transcript.h"

// The firmware's main, under its host name.
int tl500_firmware_main();

namespace sim {

namespace {

// Virtual time the board keeps running after main returns, as the chip does in
// the start-up code's final loop, so the last bytes still in the USART's shift
// register reach the line.
constexpr Time kAfterReturn = milliseconds(5);

// The board image brings its own vector table; the host build's handlers
// are not used then.
BoardConfig boardConfig(const CommandLine& options, const RunPlan& plan) {
  BoardConfig config;
  config.crystal = !options.noCrystal;
  if (!plan.image) config.vectors = firmwareVectors();
  for (const auto& entry : CliOptionRegistration::entries()) {
    if (entry.configure != nullptr) entry.configure(config);
  }
  return config;
}

class BoardRun {
 public:
  BoardRun(const CommandLine& options, RunPlan& plan, RunFiles& files)
      : options_(options), plan_(plan), files_(files), board_(boardConfig(options, plan)) {
    if (plan.maxTime) board_.clock().setLimit(*plan.maxTime);
    board_.setPollSkipping(!options.noPollSkip);
  }

  // What the options made goes before the board does, last made first.
  ~BoardRun() {
    cliRun_.atEnd.clear();
    cliRun_.atStart.clear();
    while (!cliRun_.keep.empty()) cliRun_.keep.pop_back();
  }
  BoardRun(const BoardRun&) = delete;
  BoardRun& operator=(const BoardRun&) = delete;

  // Builds what the options ask for around the board; an outcome when that
  // already ended the run (a refused output, a short made by --set).
  std::optional<RunOutcome> build();
  // Runs the firmware to its end.
  RunOutcome run();
  // What the run left behind: each finding said and noted in `outcome`.
  void review(RunOutcome& outcome);

 private:
  void runAfterReturn();
  RunEnd tellStop(const Stop& stop, RunOutcome& outcome);
  void tellEnd(RunOutcome& outcome);
  void printFigures();

  const CommandLine& options_;
  RunPlan& plan_;
  RunFiles& files_;
  Board board_;
  std::unique_ptr<CortexM3> core_;
  std::unique_ptr<GdbServer> gdb_;
  std::unique_ptr<ConsoleLog> log_;
  std::FILE* consoleLogFile_ = nullptr;
  std::unique_ptr<ScriptRunner> runner_;
  std::unique_ptr<LiveSession> live_;
  CliRun cliRun_{board_, files_, {}, {}, {}};
  std::optional<int> returned_;    // main's return value
  std::optional<Stop> stop_;       // what ended the run otherwise
  std::optional<Stop> afterStop_;  // a failure while the board ran on after main returned
};

std::optional<RunOutcome> BoardRun::build() {
  try {
    if (plan_.image) core_ = std::make_unique<CortexM3>(board_, *plan_.image);
    if (options_.gdbPort) gdb_ = std::make_unique<GdbServer>(*options_.gdbPort);
    if (!options_.consoleLog.empty()) {
      consoleLogFile_ = files_.openOutput("the console log", options_.consoleLog);
      log_ = std::make_unique<ConsoleLog>(board_.console(), consoleLogFile_);
    }
    for (const auto& entry : CliOptionRegistration::entries()) {
      if (entry.apply != nullptr) entry.apply(cliRun_);
    }
    try {
      for (auto& line : plan_.atPowerOn) runImmediate(board_, line, stdout);
    } catch (const Stop& stop) {
      // A short made by --set ends the run as any other short does.
      if (stop.kind() != StopKind::Short) throw;
      say(stop.what());
      RunOutcome outcome;
      outcome.end = RunEnd::Short;
      return outcome;
    }
    if (plan_.script) {
      ScriptRunner::Options runnerOptions;
      runnerOptions.verbose = options_.verbose;
      runner_ = std::make_unique<ScriptRunner>(board_, std::move(*plan_.script), runnerOptions);
      // A signal (or a reader of standard output going away) ends the run at
      // the board's next step, so every output is complete up to that instant.
      TerminalEndpoint::catchSignals(board_.clock().stopRequest());
      board_.clock().setStopHandler([] { TerminalEndpoint::endIfSignalled(); });
    } else {
      live_ = std::make_unique<LiveSession>(board_, plan_.live);
    }
  } catch (const std::runtime_error& e) {
    say(e.what());
    RunOutcome outcome;
    outcome.end = RunEnd::Refused;
    return outcome;
  }
  return std::nullopt;
}

// The chip keeps running after main returns; let the last bytes leave. The
// script goes on meanwhile and may finish or fail.
void BoardRun::runAfterReturn() {
  Clock& clock = board_.clock();
  Time end = clock.now() + kAfterReturn;
  clock.at(end, [] {});
  while (clock.now() < end) {
    try {
      board_.firmwareIdle();
    } catch (const Stop& stop) {
      switch (stop.kind()) {
        case StopKind::Completed:  // the script's end: the bytes still leave
          continue;
        case StopKind::Failed:
        case StopKind::Fault:
        case StopKind::Short:
          afterStop_ = stop;
          return;
        default:  // the time limit or the operator end this too
          return;
      }
    }
  }
}

RunOutcome BoardRun::run() {
  // A firmware loop that lets no virtual time pass ends the program from the
  // watchdog's thread: the terminal and the outputs are put right first.
  // It watches the run only: what comes after (the goodbye to a linked board,
  // output a terminal program has still to read) is no firmware.
  std::optional<StuckWatchdog> watchdog;
  watchdog.emplace(
      board_.clock(), StuckWatchdog::configuredLimit(),
      [this] {
        if (live_) live_->restore();
        files_.flushOutputs();
      },
      exitStatus(RunEnd::Stuck));
  RunOutcome outcome;
  try {
    for (auto& start : cliRun_.atStart) start();
    if (runner_) runner_->start();
    if (live_) live_->start();
    if (core_) {
      if (!gdb_ || gdb_->serve(*core_) != GdbServer::End::Killed) core_->run();
      if (!core_->exited()) throw Stop(StopKind::UserQuit, "ended by the debugger");
      returned_ = core_->exitStatus();
    } else {
      returned_ = tl500_firmware_main();
    }
    if (runner_) runner_->mainReturned();
    runAfterReturn();
    if (live_) live_->afterMainReturned();
  } catch (const Stop& stop) {
    stop_ = stop;
  } catch (const std::exception& e) {
    if (live_) live_->restore();
    say("internal error of the virtual board at " + formatTime(board_.clock().now()) + ": " + e.what());
    outcome.end = RunEnd::InternalError;
    return outcome;
  }
  watchdog.reset();
  if (live_) live_->restore();
  if (returned_) {
    outcome.end = RunEnd::MainReturned;
    outcome.mainStatus = *returned_;
  }
  return outcome;
}

// Says why a stop ended the run (or, after main returned, failed it) and
// gives its end; notes a script left unfinished and an ending signal.
RunEnd BoardRun::tellStop(const Stop& stop, RunOutcome& outcome) {
  Time now = board_.clock().now();
  const ScriptRunner* runner = runner_.get();
  switch (stop.kind()) {
    case StopKind::Completed:
      return RunEnd::ScriptCompleted;
    case StopKind::FirmwareReturned:
      return RunEnd::MainReturned;
    case StopKind::Failed:
      say(stop.what());
      return RunEnd::Failed;
    case StopKind::Fault:
      say("the firmware stopped at " + formatTime(now) + ": " + stop.what());
      if (runner != nullptr) say(runner->unfinishedMessage("the firmware stopped"));
      return RunEnd::Fault;
    case StopKind::Short:
      say(stop.what());
      if (runner != nullptr) say(runner->unfinishedMessage("a short circuit"));
      return RunEnd::Short;
    case StopKind::TimeLimit:
      if (runner != nullptr && !runner->finished()) {
        say(runner->unfinishedMessage("the " + std::string(stop.what())));
        outcome.scriptUnfinished = true;
      } else {
        say(stop.what());
      }
      return RunEnd::TimeLimit;
    case StopKind::UserQuit:
      std::fprintf(stderr, "\ntl500-sim: %s at %s\n", stop.what(), formatTime(now).c_str());
      if (int signal = TerminalEndpoint::endingSignal(); signal != 0) {
        outcome.signal = signal;
        return RunEnd::Signalled;
      }
      // A script cut short (the debugger's kill) has not passed.
      if (runner != nullptr && !runner->finished()) {
        say(runner->unfinishedMessage(stop.what()));
        outcome.scriptUnfinished = true;
      }
      return RunEnd::Ended;
  }
  return RunEnd::Fault;
}

void BoardRun::tellEnd(RunOutcome& outcome) {
  if (!returned_) {
    outcome.end = tellStop(*stop_, outcome);
    return;
  }
  if (*returned_ != 0) {
    say("the firmware's main returned " + std::to_string(*returned_) + " at " + formatTime(board_.clock().now()));
  }
  if (afterStop_) {
    RunOutcome after;
    outcome.afterReturn = tellStop(*afterStop_, after);
  } else if (runner_ != nullptr) {
    if (auto unrun = runner_->unrunAfterReturn()) {
      say(*unrun);
      outcome.scriptUnfinished = true;
    }
  }
}

void BoardRun::printFigures() {
  if (core_) {
    std::fprintf(stderr,
                 "tl500-sim: image: %llu instructions run, %llu more in skipped wait and poll loops and "
                 "repeated handlers, %llu polls skipped, %llu handler runs repeated\n",
                 static_cast<unsigned long long>(core_->instructions()),
                 static_cast<unsigned long long>(core_->skippedInstructions()),
                 static_cast<unsigned long long>(core_->skippedPolls()),
                 static_cast<unsigned long long>(core_->repeatedHandlers()));
    std::fprintf(stderr, "tl500-sim: image: stack high-water mark %u of %u bytes\n", core_->stackHighWater(),
                 core_->stackSize());
  }
  RunStats stats;
  stats.virtualTime = board_.clock().now();
  stats.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - plan_.started).count();
  stats.registerAccesses = board_.registerAccesses();
  // The image's own poll loops are passed by the emulated core, the host
  // build's by the board.
  stats.skippedPolls = board_.skippedPolls() + (core_ ? core_->skippedPolls() : 0);
  stats.interruptsTaken = board_.interrupts().taken();
  QueueDrops drops = readQueueDrops();
  stats.receiveQueueDrops = std::uint64_t{drops.console} + drops.zigbee;
  std::string text = formatRunStats(stats);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    std::fprintf(stderr, "tl500-sim: %s\n", text.substr(at, end - at).c_str());
    if (end == std::string::npos) break;
    at = end + 1;
  }
}

// The findings are noted in the order they are looked for: a loss is looked
// for only in a run that has passed so far (the runner says each loss once,
// and the first failure is the one to read).
void BoardRun::review(RunOutcome& outcome) {
  // The option that ended the run speaks for it; otherwise the first that
  // found something, once the run's own findings have been weighed.
  OptionFinding optionFinding = OptionFinding::None;
  for (auto& end : cliRun_.atEnd) {
    CliEndStatus said = end(stop_ ? &*stop_ : nullptr);
    if (said.finding == OptionFinding::None) continue;
    if (said.endedRun && !outcome.optionEndedRun) {
      outcome.optionEndedRun = true;
      outcome.option = said.finding;
    } else if (optionFinding == OptionFinding::None) {
      optionFinding = said.finding;
    }
  }
  bool framingErrors = false;
  if (std::uint64_t errors = board_.console().framingErrors(); errors != 0) {
    // The terminal listens at 115200 bit/s like an operator's; a board sending
    // at another rate shows up here rather than as quietly correct text.
    std::fprintf(stderr,
                 "tl500-sim: console: %llu byte(s) lost to framing errors: the board's USART1 rate "
                 "(%.0f bit/s) is off from the terminal's %u bit/s\n",
                 static_cast<unsigned long long>(errors),
                 board_.usart1().bitTime() == 0 ? 0.0 : 1.0 / toSeconds(board_.usart1().bitTime()),
                 SerialEndpoint::kDefaultBaud);
    framingErrors = true;
  }
  if (options_.stats) printFigures();
  tellEnd(outcome);
  // Keys piped into a live run that --max-time cut off never reached the board.
  if (live_ && stop_ && stop_->kind() == StopKind::TimeLimit) {
    if (auto left = live_->keysLeft()) {
      say(*left);
      outcome.keysLeft = true;
    }
  }
  // A live run's ZigBee peer (a linked board, a pseudo-terminal) whose bytes
  // the module dropped while its reset was held: the board never saw them.
  if (!runner_ && board_.zigbee().droppedFromPeer() != 0) {
    say(std::to_string(board_.zigbee().droppedFromPeer()) +
        " byte(s) the ZigBee peer sent were lost: the ZigBee module was in reset");
    outcome.peerBytesLost = true;
  }
  // A run that passed has not passed if the board missed what the script sent.
  if (runner_ && exitStatus(outcome) == kExitOk) {
    if (auto lost = runner_->unexpectedLosses()) {
      say(*lost);
      outcome.sendsLost = true;
    }
  }
  // A run whose console text was garbled on the line, or whose input was
  // lost, has not succeeded, however the script or the firmware ended.
  outcome.framingErrors = framingErrors;
  // The drop counters live in the firmware: the host build's own globals, or
  // the image's RAM.
  QueueDrops drops = readQueueDrops();
  if (core_) {
    drops.console = core_->readGlobal("uart_queue_serial_dropped").value_or(0);
    drops.zigbee = core_->readGlobal("uart_queue_comm_dropped").value_or(0);
  }
  if (drops.any()) {
    say(describeQueueDrops(drops));
    outcome.queueDrops = true;
  }
  if (runner_) runner_->halt();
  if (plan_.expectedConsole) {
    if (auto difference = compareTranscript(*plan_.expectedConsole, board_.console().received())) {
      say(options_.expectConsole + ": " + *difference);
      outcome.consoleDiffers = true;
    }
  }
  if (!outcome.optionEndedRun) outcome.option = optionFinding;
  if (options_.verbose && exitStatus(outcome) == kExitOk) {
    say("passed; the run ended at " + formatTime(board_.clock().now()));
  }
  if (log_ && log_->error() != 0) files_.writeFailed(consoleLogFile_, log_->error());
  log_.reset();
  // Outputs of options (logs) are done with before their files are closed.
  cliRun_.atEnd.clear();
  while (!cliRun_.keep.empty()) cliRun_.keep.pop_back();
  for (const auto& failure : files_.closeOutputs()) {
    say(failure);
    outcome.outputFailed = true;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    say(std::string("writing to standard output failed: ") + std::strerror(errno));
    outcome.outputFailed = true;
  }
  live_.reset();
}

}  // namespace

int runBoard(const CommandLine& options, RunPlan& plan, RunFiles& files) {
  BoardRun run(options, plan, files);
  if (auto ended = run.build()) return exitStatus(*ended);
  RunOutcome outcome = run.run();
  // The virtual board's own failure leaves nothing to review.
  if (outcome.end == RunEnd::InternalError) return exitStatus(outcome);
  run.review(outcome);
  return exitStatus(outcome);
}

}  // namespace sim
