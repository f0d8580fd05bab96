// tl500-sim: the TL500 firmware running on the virtual board.
//
// The firmware's main runs on this program's stack (or the board image on the
// emulated core), and everything else (the script, the terminal, the logs)
// acts from the board's clock while the firmware accesses its registers or
// idles. The only other thread is the stuck-firmware watchdog, which can only
// end the run. A run ends when main returns or something throws sim::Stop.
//
// Whatever goes wrong shows in the exit status: a failed line, a line never
// run, a console that differs from the expected transcript, an output file
// that could not be written.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli_extensions.h"
#include "live_session.h"
#include "queue_drops.h"
#include "run_files.h"
#include "scenario_runner.h"
#include "serial_port_runner.h"
#include "sim/board.h"
#include "sim/program/run_stats.h"
#include "sim/core/stop.h"
#include "sim/program/stuck_watchdog.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/gdb_server.h"
#include "sim/cpu/image_loader.h"
#include "sim/endpoints/console_log.h"
#include "sim/endpoints/terminal_endpoint.h"
#include "sim/host/firmware_vectors.h"
#include "sim/script/command_table.h"
#include "sim/script/immediate_command.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"
#include "transcript.h"

// The firmware's main, under its host name.
int tl500_firmware_main();

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFault = 3;
constexpr int kExitShort = 4;

// Virtual time the board keeps running after main returns, as the chip does in
// the start-up code's final loop, so the last bytes still in the USART's shift
// register reach the line.
constexpr sim::Time kAfterReturn = sim::milliseconds(5);

constexpr const char kDescription[] = R"(Run the TL500 firmware on the virtual TL500 board.

Without --script the console port (USART1, 115200 8N1) is live and virtual time
follows the wall clock:
  - standard input is a terminal: the terminal is in raw mode, every key goes to
    the board at line pace, the board's output appears as it is sent.
    Ctrl-] opens the monitor (pins, set pin, time, continue, quit); virtual
    time stands still while it is open.
  - standard input is a pipe or a file: its bytes are the keys. They are held
    until the firmware has enabled the console port; after the end of input the
    run goes on until main returns or --max-time.
  - --console pty: the console port is a new pseudo-terminal whose path is
    printed at start ("console: /dev/pts/N"); attach picocom, minicom, screen or
    a script to it as to a USB serial adapter. With pty:PATH, PATH is also made
    a symbolic link to it. When tl500-sim's own standard input is a terminal,
    Ctrl-] there opens the monitor. The run goes on until main returns,
    --max-time, or a signal.
On a terminal a board panel at the bottom shows the LEDs, outputs, ZigBee
reset, PIR and virtual time (not with --no-panel, a pseudo-terminal console,
piped keys, or an output that is not a terminal).

With --port DEVICE the script's console lines run against a real board on that
serial port (115200 8N1) in wall-clock time; a script that names pins,
sensors or faults is refused before anything is sent.

tl500-sim test [FILE|DIR]... runs scenario files (scripts with their expected
exit status and transcripts) in parallel, optionally under many timing seeds,
and ends with "N passed, N failed"; tl500-sim test --help tells more.
)";

constexpr const char kExitStatus[] = R"(
Exit status:
  0  the script completed, main returned 0, or a live run was ended from the
     monitor or by gdb's kill
  1  a wait or an expect failed, main returned another value, lines were left
     unrun when main returned, the console differed from --expect-console,
     the console received frames with framing errors, a firmware receive
     queue was full and dropped keys or ZigBee bytes (the counts are
     reported), bytes a script sent never reached the board (unless it said
     'expect lost LINE') or piped keys were left unsent when --max-time
     ended a live run, the ZigBee link to another tl500-sim broke or the
     linked board said nothing for --zigbee-peer-wait (60 s by default), or
     --max-time or a kill from gdb ("ended by the debugger") ended a script
     before its end; the message on standard error names the script line,
     what was expected and the last console output
  2  usage error, script syntax error (naming the line), a file that cannot
     be read or written (also when the writing fails during the run: the
     logs, the trace), or an --image file that is no image for this board
  3  the firmware stopped in a fault handler or an unused vector, took the
     chip outside its operating limits (clock against flash wait states,
     voltage range, PLL), or the virtual board found it stuck: waiting for
     something that can never happen, or looping for 5 s of host time
     without letting virtual time pass (the message names the function;
     time held by gdb, the monitor, --wait-attach or the linked board does
     not count); with --image also a halted fault handler (naming the fault,
     the PC and the address), a stack overrun, or a loop that nothing can
     end, such as one with interrupts masked (naming the PC)
  4  a short circuit: two drivers fought over a net of the board (the message
     names the pin, both drivers and the virtual time)
  128+N  a run ended by signal N (SIGINT, SIGTERM, SIGHUP; in a scripted run
     also SIGPIPE, standard output closed), after the terminal was restored
     and the outputs written up to that instant
)";

struct Options {
  std::string script;
  std::string console = "terminal";
  std::string consoleLog;
  std::string expectConsole;
  std::string maxTime;
  std::string port;
  std::string image;
  std::optional<std::uint16_t> gdbPort;
  std::vector<std::string> sets;
  bool stats = false;
  bool noPollSkip = false;
  bool noPanel = false;
  bool noCrystal = false;
  bool verbose = false;
  bool waitAttach = false;
  bool linger = false;
  bool markdown = false;
};

std::string versionText() {
  return std::string("tl500-sim ") + TL500_SIM_VERSION + "\nfirmware built " + TL500_BUILD_DATE + " " +
         TL500_BUILD_TIME + "\n";
}

void say(const std::string& message) { std::fprintf(stderr, "tl500-sim: %s\n", message.c_str()); }

int usageError(const std::string& message) {
  std::fprintf(stderr, "tl500-sim: %s\nTry 'tl500-sim --help' for more information.\n", message.c_str());
  return kExitUsage;
}

// How a run ended.
struct Outcome {
  std::optional<int> returned;  // main's return value
  std::optional<sim::Stop> stop;
  std::optional<sim::Stop> afterReturn;  // a failure while the board ran on after main returned
};

// The chip keeps running after main returns; let the last bytes leave. The
// script goes on meanwhile and may finish or fail.
void runAfterReturn(sim::Board& board, Outcome& outcome) {
  sim::Clock& clock = board.clock();
  sim::Time end = clock.now() + kAfterReturn;
  clock.at(end, [] {});
  while (clock.now() < end) {
    try {
      board.firmwareIdle();
    } catch (const sim::Stop& stop) {
      switch (stop.kind()) {
        case sim::StopKind::Completed:  // the script's end: the bytes still leave
          continue;
        case sim::StopKind::Failed:
        case sim::StopKind::Fault:
        case sim::StopKind::Short:
          outcome.afterReturn = stop;
          return;
        default:  // the time limit or the operator end this too
          return;
      }
    }
  }
}

int report(const sim::Stop& stop, const sim::ScriptRunner* runner, sim::Time now) {
  switch (stop.kind()) {
    case sim::StopKind::Completed:
    case sim::StopKind::FirmwareReturned:
      return kExitOk;
    case sim::StopKind::Failed:
      say(stop.what());
      return kExitFailed;
    case sim::StopKind::Fault:
      say("the firmware stopped at " + sim::formatTime(now) + ": " + stop.what());
      if (runner != nullptr) say(runner->unfinishedMessage("the firmware stopped"));
      return kExitFault;
    case sim::StopKind::Short:
      say(stop.what());
      if (runner != nullptr) say(runner->unfinishedMessage("a short circuit"));
      return kExitShort;
    case sim::StopKind::TimeLimit:
      if (runner != nullptr && !runner->finished()) {
        say(runner->unfinishedMessage("the " + std::string(stop.what())));
        return kExitFailed;
      }
      say(stop.what());
      return kExitOk;
    case sim::StopKind::UserQuit:
      std::fprintf(stderr, "\ntl500-sim: %s at %s\n", stop.what(), sim::formatTime(now).c_str());
      if (int signal = sim::TerminalEndpoint::endingSignal(); signal != 0) return 128 + signal;
      // A script cut short (the debugger's kill) has not passed.
      if (runner != nullptr && !runner->finished()) {
        say(runner->unfinishedMessage(stop.what()));
        return kExitFailed;
      }
      return kExitOk;
  }
  return kExitFault;
}

int report(const Outcome& outcome, const sim::ScriptRunner* runner, sim::Time now) {
  int status = kExitOk;
  if (outcome.returned) {
    if (*outcome.returned != 0) {
      say("the firmware's main returned " + std::to_string(*outcome.returned) + " at " + sim::formatTime(now));
      status = kExitFailed;
    }
    if (outcome.afterReturn) {
      int after = report(*outcome.afterReturn, runner, now);
      if (status == kExitOk) status = after;
    } else if (runner != nullptr) {
      if (auto unrun = runner->unrunAfterReturn()) {
        say(*unrun);
        if (status == kExitOk) status = kExitFailed;
      }
    }
    return status;
  }
  return report(*outcome.stop, runner, now);
}

std::optional<sim::Time> parseMaxTime(const std::string& text, std::string& error) {
  sim::Time t = 0;
  switch (sim::parseDuration(text, t)) {
    case sim::DurationError::None:
      if (t == 0) break;
      return t;
    case sim::DurationError::TooLong:
      error = "--max-time " + sim::shownWord(text) + " is too long (at most " + sim::maxDurationText() + ")";
      return std::nullopt;
    case sim::DurationError::NotADuration:
      break;
  }
  error = "--max-time takes a duration such as 10ms, 1.5s, 2min, not " + sim::shownWord(text);
  return std::nullopt;
}

// "--set NAME=VALUE[,VALUE...]" as the script line "set NAME VALUE...";
// a pin name gives "set pin NAME VALUE".
std::string setLine(const std::string& assignment) {
  auto eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) return {};
  std::string name = assignment.substr(0, eq);
  std::string values = assignment.substr(eq + 1);
  for (char& c : values) {
    if (c == ',') c = ' ';
  }
  return "set " + std::string(sim::findPin(name) ? "pin " : "") + name + " " + values;
}

int run(const Options& options) {
  auto wallStart = std::chrono::steady_clock::now();
  sim::RunFiles files;
  std::optional<sim::Script> script;
  std::optional<std::string> expectedConsole;
  std::vector<sim::ScriptLine> atPowerOn;
  std::optional<sim::Time> maxTime;
  std::optional<sim::BoardImage> image;
  try {
    if (!options.script.empty()) {
      script = sim::parseScript(files.readInput("the script", options.script), options.script);
    }
    if (!options.expectConsole.empty()) {
      expectedConsole = sim::expandTranscript(files.readInput("the expected console", options.expectConsole),
                                              TL500_BUILD_DATE, TL500_BUILD_TIME);
    }
    for (const auto& assignment : options.sets) {
      std::string line = setLine(assignment);
      if (line.empty()) return usageError("--set takes NAME=VALUE, not " + sim::shownWord(assignment));
      auto parsed = sim::parseScriptLine(line, "--set " + sim::shownSource(assignment), 0);
      if (!parsed || !parsed->entry->monitor) return usageError("--set " + sim::shownWord(assignment) + " sets nothing");
      atPowerOn.push_back(std::move(*parsed));
    }
    if (!options.image.empty()) {
      files.addInput("the board image", options.image);
      image = sim::loadImage(options.image);
    }
  } catch (const sim::ScriptError& e) {
    say(e.what());
    return kExitUsage;
  } catch (const std::runtime_error& e) {
    say(e.what());
    return kExitUsage;
  }
  if (!options.maxTime.empty()) {
    std::string error;
    maxTime = parseMaxTime(options.maxTime, error);
    if (!maxTime) return usageError(error);
  }

  sim::LiveSession::Config liveConfig;
  liveConfig.console = options.console;
  liveConfig.waitAttach = options.waitAttach;
  liveConfig.linger = options.linger;
  liveConfig.panel = !options.noPanel;
  if (!script) {
    std::string error;
    if (!sim::LiveSession::checkConfig(liveConfig, error)) return usageError(error);
  }

  // The board image brings its own vector table; the host build's handlers
  // are not used then.
  sim::BoardConfig boardConfig;
  boardConfig.crystal = !options.noCrystal;
  if (!image) boardConfig.vectors = sim::firmwareVectors();
  for (const auto& entry : sim::CliOptionRegistration::entries()) {
    if (entry.configure != nullptr) entry.configure(boardConfig);
  }
  sim::Board board{std::move(boardConfig)};
  if (maxTime) board.clock().setLimit(*maxTime);
  board.setPollSkipping(!options.noPollSkip);

  std::unique_ptr<sim::CortexM3> core;
  std::unique_ptr<sim::GdbServer> gdb;
  std::unique_ptr<sim::ConsoleLog> log;
  std::FILE* consoleLogFile = nullptr;
  std::unique_ptr<sim::ScriptRunner> runner;
  std::unique_ptr<sim::LiveSession> live;
  sim::CliRun cliRun{board, files, {}, {}, {}};
  // What the options made goes before the board does, last made first.
  struct ReleaseBeforeBoard {
    sim::CliRun& run;
    ~ReleaseBeforeBoard() {
      run.atEnd.clear();
      run.atStart.clear();
      while (!run.keep.empty()) run.keep.pop_back();
    }
  } release{cliRun};
  try {
    if (image) core = std::make_unique<sim::CortexM3>(board, *image);
    if (options.gdbPort) gdb = std::make_unique<sim::GdbServer>(*options.gdbPort);
    if (!options.consoleLog.empty()) {
      consoleLogFile = files.openOutput("the console log", options.consoleLog);
      log = std::make_unique<sim::ConsoleLog>(board.console(), consoleLogFile);
    }
    for (const auto& entry : sim::CliOptionRegistration::entries()) {
      if (entry.apply != nullptr) entry.apply(cliRun);
    }
    try {
      for (auto& line : atPowerOn) sim::runImmediate(board, line, stdout);
    } catch (const sim::Stop& stop) {
      // A short made by --set ends the run as any other short does.
      if (stop.kind() != sim::StopKind::Short) throw;
      say(stop.what());
      return kExitShort;
    }
    if (script) {
      sim::ScriptRunner::Options runnerOptions;
      runnerOptions.verbose = options.verbose;
      runner = std::make_unique<sim::ScriptRunner>(board, std::move(*script), runnerOptions);
      // A signal (or a reader of standard output going away) ends the run at
      // the board's next step, so every output is complete up to that instant.
      sim::TerminalEndpoint::catchSignals(board.clock().stopRequest());
      board.clock().setStopHandler([] { sim::TerminalEndpoint::endIfSignalled(); });
    } else {
      live = std::make_unique<sim::LiveSession>(board, liveConfig);
    }
  } catch (const std::runtime_error& e) {
    say(e.what());
    return kExitUsage;
  }

  // A firmware loop that lets no virtual time pass ends the program from the
  // watchdog's thread: the terminal and the outputs are put right first.
  // It watches the run only: what comes after (the goodbye to a linked board,
  // output a terminal program has still to read) is no firmware.
  std::optional<sim::StuckWatchdog> watchdog;
  watchdog.emplace(board.clock(), sim::StuckWatchdog::configuredLimit(), [&] {
    if (live) live->restore();
    files.flushOutputs();
  });

  Outcome outcome;
  try {
    for (auto& start : cliRun.atStart) start();
    if (runner) runner->start();
    if (live) live->start();
    if (core) {
      if (!gdb || gdb->serve(*core) != sim::GdbServer::End::Killed) core->run();
      if (!core->exited()) throw sim::Stop(sim::StopKind::UserQuit, "ended by the debugger");
      outcome.returned = core->exitStatus();
    } else {
      outcome.returned = tl500_firmware_main();
    }
    if (runner) runner->mainReturned();
    runAfterReturn(board, outcome);
    if (live) live->afterMainReturned();
  } catch (const sim::Stop& stop) {
    outcome.stop = stop;
  } catch (const std::exception& e) {
    if (live) live->restore();
    say("internal error of the virtual board at " + sim::formatTime(board.clock().now()) + ": " + e.what());
    return kExitFault;
  }
  watchdog.reset();
  if (live) live->restore();
  std::optional<int> optionStatus;
  bool optionEndedRun = false;
  for (auto& end : cliRun.atEnd) {
    sim::CliEndStatus said = end(outcome.stop ? &*outcome.stop : nullptr);
    if (said.status == kExitOk) continue;
    if (said.endedRun && !optionEndedRun) {
      optionEndedRun = true;
      optionStatus = said.status;
    } else if (!optionStatus) {
      optionStatus = said.status;
    }
  }
  if (std::uint64_t errors = board.console().framingErrors(); errors != 0) {
    // The terminal listens at 115200 bit/s like an operator's; a board sending
    // at another rate shows up here rather than as quietly correct text.
    std::fprintf(stderr,
                 "tl500-sim: console: %llu byte(s) lost to framing errors: the board's USART1 rate "
                 "(%.0f bit/s) is off from the terminal's %u bit/s\n",
                 static_cast<unsigned long long>(errors),
                 board.usart1().bitTime() == 0 ? 0.0 : 1.0 / sim::toSeconds(board.usart1().bitTime()),
                 sim::SerialEndpoint::kDefaultBaud);
  }
  if (options.stats) {
    if (core) {
      std::fprintf(stderr,
                   "tl500-sim: image: %llu instructions run, %llu more in skipped wait and poll loops and "
                   "repeated handlers, %llu polls skipped, %llu handler runs repeated\n",
                   static_cast<unsigned long long>(core->instructions()),
                   static_cast<unsigned long long>(core->skippedInstructions()),
                   static_cast<unsigned long long>(core->skippedPolls()),
                   static_cast<unsigned long long>(core->repeatedHandlers()));
      std::fprintf(stderr, "tl500-sim: image: stack high-water mark %u of %u bytes\n", core->stackHighWater(),
                   core->stackSize());
    }
    sim::RunStats stats;
    stats.virtualTime = board.clock().now();
    stats.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    stats.registerAccesses = board.registerAccesses();
    // The image's own poll loops are passed by the emulated core, the host
    // build's by the board.
    stats.skippedPolls = board.skippedPolls() + (core ? core->skippedPolls() : 0);
    stats.interruptsTaken = board.interrupts().taken();
    sim::QueueDrops drops = sim::readQueueDrops();
    stats.receiveQueueDrops = std::uint64_t{drops.console} + drops.zigbee;
    std::string text = sim::formatRunStats(stats);
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      std::fprintf(stderr, "tl500-sim: %s\n", text.substr(at, end - at).c_str());
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  // An option's own failure that ended the run speaks for the run; its message
  // has been given.
  int status = report(outcome, runner.get(), board.clock().now());
  if (optionEndedRun) status = *optionStatus;
  // Keys piped into a live run that --max-time cut off never reached the board.
  if (live && outcome.stop && outcome.stop->kind() == sim::StopKind::TimeLimit) {
    if (auto left = live->keysLeft()) {
      say(*left);
      if (status == kExitOk) status = kExitFailed;
    }
  }
  // A live run's ZigBee peer (a linked board, a pseudo-terminal) whose bytes
  // the module dropped while its reset was held: the board never saw them.
  if (!runner && board.zigbee().droppedFromPeer() != 0) {
    say(std::to_string(board.zigbee().droppedFromPeer()) +
        " byte(s) the ZigBee peer sent were lost: the ZigBee module was in reset");
    if (status == kExitOk) status = kExitFailed;
  }
  // A run that passed has not passed if the board missed what the script sent.
  if (runner && status == kExitOk) {
    if (auto lost = runner->unexpectedLosses()) {
      say(*lost);
      status = kExitFailed;
    }
  }
  // A run whose console text was garbled on the line, or whose input was
  // lost, has not succeeded, however the script or the firmware ended.
  if (status == kExitOk && board.console().framingErrors() != 0) status = kExitFailed;
  // The drop counters live in the firmware: the host build's own globals, or
  // the image's RAM.
  sim::QueueDrops drops = sim::readQueueDrops();
  if (core) {
    drops.console = core->readGlobal("uart_queue_serial_dropped").value_or(0);
    drops.zigbee = core->readGlobal("uart_queue_comm_dropped").value_or(0);
  }
  if (drops.any()) {
    say(sim::describeQueueDrops(drops));
    if (status == kExitOk) status = kExitFailed;
  }
  if (runner) runner->halt();
  if (expectedConsole) {
    if (auto difference = sim::compareTranscript(*expectedConsole, board.console().received())) {
      say(options.expectConsole + ": " + *difference);
      if (status == kExitOk) status = kExitFailed;
    }
  }
  if (optionStatus && status == kExitOk) status = *optionStatus;
  if (options.verbose && status == kExitOk) {
    say("passed; the run ended at " + sim::formatTime(board.clock().now()));
  }
  if (log && log->error() != 0) files.writeFailed(consoleLogFile, log->error());
  log.reset();
  // Outputs of options (logs) are done with before their files are closed.
  cliRun.atEnd.clear();
  while (!cliRun.keep.empty()) cliRun.keep.pop_back();
  // An output that could not be written is a file that cannot be used.
  for (const auto& failure : files.closeOutputs()) {
    say(failure);
    if (status == kExitOk) status = kExitUsage;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    say(std::string("writing to standard output failed: ") + std::strerror(errno));
    if (status == kExitOk) status = kExitUsage;
  }
  if (live) live.reset();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // "tl500-sim test ...": the scenario runner, with options of its own.
  if (argc >= 2 && std::string_view(argv[1]) == "test") return sim::runScenarioTests(argc - 1, argv + 1);
  Options options;
  CLI::App app{kDescription, "tl500-sim"};
  app.get_formatter()->column_width(30);
  // An option given twice takes its last value, as scripts that add to a
  // command line expect.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_version_flag("--version", versionText(), "show the version and the firmware's build date, and exit");
  app.set_help_flag("-h,--help", "show this help and exit");
  // A second --script or --image would silently drop the first: refused.
  auto* scriptOption = app.add_option("--script", options.script, "deterministic scripted run, as fast as the host allows")
                           ->type_name("FILE")
                           ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_option("--console", options.console,
                 "terminal (default), pty, or pty:PATH (a pseudo-terminal, with a symbolic link PATH to it)")
      ->type_name("MODE");
  app.add_option("--console-log", options.consoleLog,
                 "write every byte the board sent on USART1 to FILE, raw (CR LF as on the wire); - is standard "
                 "output")
      ->type_name("FILE");
  app.add_option("--expect-console", options.expectConsole,
                 "at the end, the console output must equal FILE byte for byte; @BUILD_DATE@ and @BUILD_TIME@ in it "
                 "stand for the banner's build date and time")
      ->type_name("FILE");
  app.add_option("--max-time", options.maxTime, "stop after DURATION of virtual time")->type_name("DURATION");
  app.add_option("--set", options.sets,
                 "at power-on, what the outside world does: a pin (--set DIP1=low) or a sensor value "
                 "(--set NAME=VALUE[,VALUE])")
      ->type_name("NAME=VALUE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_flag("--no-crystal", options.noCrystal,
               "a board whose 12 MHz crystal never starts (the firmware falls back to MSI)");
  app.add_flag("-v,--verbose", options.verbose, "show every script line as it runs, with its virtual time");
  app.add_flag("--wait-attach", options.waitAttach,
               "with --console pty: hold the board in reset until a program opens the pseudo-terminal");
  app.add_flag("--linger", options.linger,
               "with --console pty: keep the pseudo-terminal open after main returns, as a USB adapter stays, "
               "until a signal");
  app.add_option("--port", options.port,
                 "run the script's console lines against a real board on serial port DEVICE, in wall-clock time")
      ->type_name("DEVICE");
  app.add_flag("--no-panel", options.noPanel, "no board panel at the bottom of the terminal in a live run");
  auto* image = app.add_option("--image", options.image,
                               "run the board image FILE (tl500.elf of the target build) instruction by instruction "
                               "on an emulated Cortex-M3 against the same board, instead of the firmware built into "
                               "tl500-sim; a file that is not such an image exits 2")
                    ->type_name("FILE")
                    ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_option("--gdb", options.gdbPort,
                 "with --image: wait for gdb on 127.0.0.1:PORT before reset (gdb-multiarch tl500.elf -ex 'target "
                 "remote :PORT'); port 0 takes a free port, named on standard error; virtual time stands still "
                 "while gdb holds the core")
      ->type_name("PORT")
      ->needs(image);
  app.add_flag("--stats", options.stats,
               "at the end, on standard error: the virtual time, the wall time and their ratio, the register "
               "accesses, the polls skipped, the interrupts taken and the bytes the receive queues dropped; with "
               "--image also the instructions run and skipped, the polls the emulated core skipped and the "
               "stack's high-water mark");
  app.add_flag("--no-poll-skip", options.noPollSkip,
               "model every poll of a status flag as an access of its own, also the board image's polls (by "
               "default polls that cannot see a change pass at once; the run is the same, only slower)");
  app.add_flag("--script-commands-markdown", options.markdown)->group("");
  for (const auto& entry : sim::CliOptionRegistration::entries()) {
    if (entry.declare != nullptr) entry.declare(app);
  }
  // The script language's and the sensors' help is written out only when
  // --help asks for it: a third of the work of every start otherwise.
  app.footer([] {
    std::string sections;
    for (const auto& entry : sim::CliOptionRegistration::entries()) {
      if (entry.helpSection != nullptr) sections += entry.helpSection();
    }
    std::string footer = sim::scriptLanguageHelp() + kExitStatus + sections;
    // The help puts a line break after a footer made on demand: not twice.
    if (!footer.empty() && footer.back() == '\n') footer.pop_back();
    return footer;
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usageError(e.what());
  }
  // An empty name is no file: without this check --script "" would start a
  // live run and --image "" would run the built-in firmware.
  if (scriptOption->count() != 0 && options.script.empty()) return usageError("--script needs a file name");
  if (image->count() != 0 && options.image.empty()) return usageError("--image needs a file name");
  if (options.markdown) {
    std::fputs(sim::scriptCommandsMarkdown().c_str(), stdout);
    return kExitOk;
  }
  if (!options.port.empty()) {
    if (options.script.empty()) return usageError("--port needs --script: the script to run against the board");
    // Options of the virtual board mean nothing to a real one: refused rather
    // than quietly ignored.
    for (const CLI::Option* option : app.get_options()) {
      if (option->count() == 0) continue;
      const std::string& name = option->get_name();
      if (name != "--port" && name != "--script" && name != "-v,--verbose" && name != "--verbose") {
        return usageError("--port takes only --script and --verbose; the other options are for the virtual board");
      }
    }
    return sim::runScriptOnSerialPort(options.port, options.script, options.verbose);
  }
  if (!options.script.empty() && options.console != "terminal") {
    return usageError("--script and --console " + sim::shownWord(options.console) +
                      " cannot be combined: the script is the console");
  }
  return run(options);
}
