// tl500-sim: the TL500 firmware running on the virtual board.
//
// The firmware's main runs on this program's stack, and everything else (the
// script, the terminal, the console log) acts from the board's clock while the
// firmware accesses its registers or idles. The only other thread is the
// stuck-firmware watchdog, which can only end the run. A run ends
// when main returns or something throws sim::Stop.
#include <unistd.h>

#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "queue_drops.h"
#include "sim/board.h"
#include "sim/core/run_stats.h"
#include "sim/core/stop.h"
#include "sim/core/stuck_watchdog.h"
#include "sim/endpoints/board_panel.h"
#include "sim/cpu/cortex_m3.h"
#include "sim/cpu/gdb_server.h"
#include "sim/cpu/image_loader.h"
#include "sim/devices/sensor_values.h"
#include "sim/endpoints/console_log.h"
#include "sim/endpoints/terminal_endpoint.h"
#include "sim/endpoints/zigbee_link.h"
#include "sim/host/firmware_vectors.h"
#include "sim/script/script.h"
#include "sim/script/script_runner.h"
#include "sim/trace/i2c_log.h"
#include "sim/trace/trace_signals.h"

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

constexpr const char kHelp[] = R"(Usage: tl500-sim [OPTION]...
Run the TL500 firmware on the virtual TL500 board.

Without --script the console port (USART1, 115200 8N1) is live and virtual time
follows the wall clock:
  - standard input is a terminal: the terminal is in raw mode, every key goes to
    the board at line pace, the board's output appears as it is sent.
    Ctrl-] ends the run and restores the terminal.
  - standard input is a pipe or a file: its bytes are the keys. They are held
    until the firmware has enabled the console port; after the end of input the
    run goes on until main returns or --max-time.
  - --console pty: the console port is a new pseudo-terminal whose path is
    printed at start ("console: /dev/pts/N"); attach picocom, minicom, screen or
    a script to it as to a USB serial adapter. The run goes on until main
    returns, --max-time, or Ctrl-C (SIGINT/SIGTERM) on tl500-sim.

Options:
  --script FILE         deterministic scripted run, as fast as the host allows
  --console MODE        terminal (default) or pty
  --console-log FILE    write every byte the board sent on USART1 to FILE, raw
                        (CR LF as on the wire)
  --i2c-log FILE        write one line per I2C transaction to FILE: virtual time,
                        bus, address, direction, bytes with their acknowledges,
                        how it ended
  --max-time DURATION   stop after DURATION of virtual time
  --zigbee MODE         the ZigBee module's peer in radio range (default none):
                          none            nobody: bytes the board sends are lost
                          loopback        every byte sent comes straight back
                          tcp-listen:PORT another tl500-sim connects here
                                          (127.0.0.1; 0 picks a free port, printed
                                          as "zigbee: listening on 127.0.0.1:N")
                          tcp:HOST:PORT   link to a tl500-sim listening there
                          pty             a pseudo-terminal plays the peer; its
                                          path is printed ("zigbee: /dev/pts/N")
                        Linked boards keep their virtual clocks in step (each runs
                        at most one frame time ahead of the other), so a scripted
                        two-board run is as repeatable as a one-board run. When
                        one run ends the other is told and goes on alone.
  --zigbee-log FILE     write every byte the board sent on USART3 to FILE, raw
  --no-crystal          a board whose 12 MHz crystal never starts (the firmware
                        falls back to MSI)
  --vcd FILE            record the board's signals into FILE, a Value Change
                        Dump (timescale 1 ps) for waveform viewers and protocol
                        decoders: LEDs, actuator outputs, inputs, DIP switches,
                        ZigBee reset, PIR line, the serial lines bit by bit
  --vcd-signals LIST    trace only these (comma-separated): a name such as
                        PC7_LED1, a pin (PC7), a board name (LED1), a group (leds,
                        actuators, inputs, dip, zigbee_reset, pir, console,
                        zigbee, i2c) or all
  --no-panel            no board panel at the bottom of the terminal (it shows
                        the LEDs, outputs, ZigBee reset, PIR and virtual time
                        in an interactive run on a terminal; never on --console
                        pty, piped keys or when the output is not a terminal)
  --image FILE          run the board image FILE (tl500.elf of the target build)
                        instruction by instruction on an emulated Cortex-M3
                        against the same board, instead of the firmware built
                        into tl500-sim; a file that is not such an image exits 2
  --gdb PORT            with --image: wait for gdb on 127.0.0.1:PORT before
                        reset (gdb-multiarch tl500.elf -ex 'target remote :PORT');
                        port 0 takes a free port, named on standard error;
                        virtual time stands still while gdb holds the core
  --set NAME=VALUE      a physical value the sensor chips see from power-on,
                        e.g. --set htu21.temperature=23.4 --set
                        "mpu9150.accel=0 0 1"; names under Sensor values below
  --seed N              add noise of the size the chips' datasheets give to
                        every conversion, from a generator seeded with N (the
                        same N gives the same readings); without it no noise
  --stats               at the end, print on standard error the virtual time,
                        the wall time and their ratio, the register accesses,
                        the polls skipped, the interrupts taken and the bytes
                        the receive queues dropped; with --image also the
                        instructions run and the stack's high-water mark
  --no-poll-skip        model every poll of a status flag as an access of its
                        own (by default polls that cannot see a change pass at
                        once; the run is the same, only slower)
  -h, --help            show this help and exit

Script language (one command a line; '#' starts a comment):
  send console TEXT                  the board receives TEXT on the console line,
                                     byte after byte at line pace, from now
  wait console TEXT [within DURATION]
                                     run until TEXT has come out on the console
                                     after the end of the previous console match
                                     (default limit 10s of virtual time)
  send zigbee TEXT                   the ZigBee module receives TEXT over the air
                                     and passes it to the board (lost while the
                                     module is held in reset)
  wait zigbee TEXT [within DURATION] as wait console, for the bytes the board
                                     sent on USART3
  run DURATION                       let virtual time pass
  expect pin PIN high|low            the level of a pin now; PIN is a port
                                     name (PA8, pc13) or a board name (LED1,
                                     DIP2, IN3, ZB_RESET, PIR, CONSOLE_TX, ...)
  set pin PIN high|low|float         what the outside world drives on a pin
                                     (inputs, DIP switches, PIR line); float
                                     lets go of it; driving against the
                                     firmware's output is a short (status 4)
  fault i2c ADDRESS KIND             a fault on the I2C chip at ADDRESS (7-bit,
                                     e.g. 0x40) for every transaction with it:
                                     absent, nack-data N (data byte N of a
                                     write, from 1), arbitration-lost N (byte N
                                     the master sends, 0 the address),
                                     bus-error, sda-stuck, stretch-forever
  fault clear                        every fault ends; stuck lines are let go
  set NAME VALUE                     a physical value a sensor chip sees, from
                                     now (names below); an unknown name or a
                                     value out of range is a script error
  TEXT is in double quotes with the escapes \r \n \t \\ \" \xNN.
  DURATION is a number and a unit: 250us, 10ms, 1.5s, 2min.
  The script starts at power-on, before the firmware has set up its console
  port: a send at that time is lost, as on the board. Wait for a prompt first:
      wait console "x> quit"
      send console "0"
      wait console "SYSCLK_Frequency = 32000000\r\n"
  The run ends after the script's last line, or earlier when main returns.

Exit status:
  0  the script completed, main returned 0, or an interactive run was ended
  1  a wait or an expect failed, main returned another value, or --max-time
     ended a script before its end; the message on standard error names the
     script line, what was expected and the last console output. Also when the
     console received frames with framing errors, when a firmware receive
     queue was full and dropped keys or ZigBee bytes (the counts are
     reported), or when the ZigBee link to another tl500-sim broke
  2  usage error, script syntax error (naming the line), or a file that cannot
     be opened or written (the logs, the trace), or an --image file that is
     no image for this board
  3  the firmware stopped in a fault handler or an unused vector, took the
     chip outside its operating limits (clock against flash wait states,
     voltage range, PLL), or the virtual board found it stuck: waiting for
     something that can never happen, or looping for 5 s of host time
     without letting virtual time pass (the message names the function);
     with --image also a halted fault handler (naming the fault, the PC and
     the address) or a stack overrun
  4  a short circuit: two drivers fought over a net of the board (the message
     names the pin, both drivers and the virtual time)
)";

struct Options {
  std::optional<std::string> script;
  std::vector<sim::SensorValueSetting> settings;
  std::optional<std::uint64_t> seed;
  std::optional<std::string> consoleLog;
  std::optional<std::string> i2cLog;
  std::optional<sim::Time> maxTime;
  std::optional<sim::ZigBeeLinkSpec> zigbee;
  std::optional<std::string> zigbeeLog;
  bool pty = false;
  std::optional<std::string> vcd;
  std::optional<std::string> vcdSignals;
  bool noCrystal = false;
  bool noPanel = false;
  bool noPollSkip = false;
  bool help = false;
  std::optional<std::string> image;
  std::optional<std::uint16_t> gdbPort;
  bool stats = false;
};

int usageError(const std::string& message) {
  std::fprintf(stderr, "tl500-sim: %s\nTry 'tl500-sim --help' for more information.\n", message.c_str());
  return kExitUsage;
}

// Parses the command line; a message in `error` when it is wrong.
std::optional<Options> parseArguments(int argc, char** argv, std::string& error) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      auto eq = arg.find('=');
      if (eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      }
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= argc) {
        error = "option " + arg + " needs a value";
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    auto noValue = [&] {
      if (inlineValue) error = "option " + arg + " takes no value";
      return !inlineValue;
    };
    if (arg == "-h" || arg == "--help") {
      if (!noValue()) return std::nullopt;
      options.help = true;
    } else if (arg == "--no-crystal") {
      if (!noValue()) return std::nullopt;
      options.noCrystal = true;
    } else if (arg == "--no-panel") {
      if (!noValue()) return std::nullopt;
      options.noPanel = true;
    } else if (arg == "--vcd" || arg == "--vcd-signals") {
      auto v = value();
      if (!v) return std::nullopt;
      (arg == "--vcd" ? options.vcd : options.vcdSignals) = *v;
    } else if (arg == "--no-poll-skip") {
      if (!noValue()) return std::nullopt;
      options.noPollSkip = true;
    } else if (arg == "--script") {
      auto v = value();
      if (!v) return std::nullopt;
      options.script = *v;
    } else if (arg == "--zigbee") {
      auto v = value();
      if (!v) return std::nullopt;
      options.zigbee = sim::parseZigBeeMode(*v, error);
      if (!options.zigbee) return std::nullopt;
    } else if (arg == "--zigbee-log") {
      auto v = value();
      if (!v) return std::nullopt;
      options.zigbeeLog = *v;
    } else if (arg == "--console-log") {
      auto v = value();
      if (!v) return std::nullopt;
      options.consoleLog = *v;
    } else if (arg == "--i2c-log") {
      auto v = value();
      if (!v) return std::nullopt;
      options.i2cLog = *v;
    } else if (arg == "--console") {
      auto v = value();
      if (!v) return std::nullopt;
      if (*v == "pty") {
        options.pty = true;
      } else if (*v == "terminal") {
        options.pty = false;
      } else {
        error = "--console takes terminal or pty, not '" + *v + "'";
        return std::nullopt;
      }
    } else if (arg == "--image") {
      auto v = value();
      if (!v) return std::nullopt;
      options.image = *v;
    } else if (arg == "--gdb") {
      auto v = value();
      if (!v) return std::nullopt;
      char* end = nullptr;
      unsigned long port = std::strtoul(v->c_str(), &end, 10);
      if (v->empty() || *end != '\0' || port > 65535) {
        error = "--gdb takes a TCP port number, not '" + *v + "'";
        return std::nullopt;
      }
      options.gdbPort = static_cast<std::uint16_t>(port);
    } else if (arg == "--stats") {
      if (!noValue()) return std::nullopt;
      options.stats = true;
    } else if (arg == "--set") {
      auto v = value();
      if (!v) return std::nullopt;
      try {
        options.settings.push_back(sim::parseSensorAssignment(*v));
      } catch (const sim::SensorValueError& e) {
        error = "--set: " + std::string(e.what());
        return std::nullopt;
      }
    } else if (arg == "--seed") {
      auto v = value();
      if (!v) return std::nullopt;
      char* end = nullptr;
      unsigned long long n = std::strtoull(v->c_str(), &end, 0);
      if (v->empty() || *end != '\0' || (*v)[0] == '-') {
        error = "--seed takes a whole number, not '" + *v + "'";
        return std::nullopt;
      }
      options.seed = n;
    } else if (arg == "--max-time") {
      auto v = value();
      if (!v) return std::nullopt;
      sim::Time t = 0;
      if (!sim::parseDuration(*v, t) || t == 0) {
        error = "--max-time takes a duration such as 10ms, 1.5s, 2min, not '" + *v + "'";
        return std::nullopt;
      }
      options.maxTime = t;
    } else {
      error = "unknown argument '" + arg + "'";
      return std::nullopt;
    }
  }
  if (options.vcdSignals && !options.vcd) {
    error = "--vcd-signals chooses what --vcd records; give --vcd FILE too";
    return std::nullopt;
  }
  if (options.vcdSignals && !sim::selectTraceSignals(*options.vcdSignals, error)) return std::nullopt;
  if (options.gdbPort && !options.image) {
    error = "--gdb goes with --image";
    return std::nullopt;
  }
  if (options.script && options.pty) {
    error = "--script and --console pty cannot be combined: the script is the console";
    return std::nullopt;
  }
  return options;
}

// How a run ended.
struct Outcome {
  std::optional<int> returned;  // main's return value
  std::optional<sim::Stop> stop;
};

// The chip keeps running after main returns; let the last bytes leave.
void runAfterReturn(sim::Board& board) {
  sim::Clock& clock = board.clock();
  sim::Time end = clock.now() + kAfterReturn;
  clock.at(end, [] {});
  try {
    while (clock.now() < end) board.firmwareIdle();
  } catch (const sim::Stop&) {
    // The time limit or the operator ends this too.
  }
}

int report(const Outcome& outcome, const sim::ScriptRunner* runner, sim::Time now) {
  if (outcome.returned) {
    if (*outcome.returned == 0) return kExitOk;
    std::fprintf(stderr, "tl500-sim: the firmware's main returned %d at %s\n", *outcome.returned,
                 sim::formatTime(now).c_str());
    return kExitFailed;
  }
  const sim::Stop& stop = *outcome.stop;
  switch (stop.kind()) {
    case sim::StopKind::Completed:
    case sim::StopKind::FirmwareReturned:
      return kExitOk;
    case sim::StopKind::Failed:
      std::fprintf(stderr, "tl500-sim: %s\n", stop.what());
      return kExitFailed;
    case sim::StopKind::Fault:
      std::fprintf(stderr, "tl500-sim: the firmware stopped at %s: %s\n", sim::formatTime(now).c_str(), stop.what());
      if (runner != nullptr) {
        std::fprintf(stderr, "tl500-sim: %s\n", runner->unfinishedMessage("the firmware stopped").c_str());
      }
      return kExitFault;
    case sim::StopKind::Short:
      std::fprintf(stderr, "tl500-sim: %s\n", stop.what());
      if (runner != nullptr) {
        std::fprintf(stderr, "tl500-sim: %s\n", runner->unfinishedMessage("a short circuit").c_str());
      }
      return kExitShort;
    case sim::StopKind::TimeLimit:
      if (runner != nullptr && !runner->finished()) {
        std::fprintf(stderr, "tl500-sim: %s\n", runner->unfinishedMessage("the " + std::string(stop.what())).c_str());
        return kExitFailed;
      }
      std::fprintf(stderr, "tl500-sim: %s\n", stop.what());
      return kExitOk;
    case sim::StopKind::UserQuit:
      std::fprintf(stderr, "\ntl500-sim: %s at %s\n", stop.what(), sim::formatTime(now).c_str());
      return kExitOk;
  }
  return kExitFault;
}

const auto g_started = std::chrono::steady_clock::now();

void printStats(sim::Board& board) {
  sim::RunStats stats;
  stats.virtualTime = board.clock().now();
  stats.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_started).count();
  stats.registerAccesses = board.registerAccesses();
  stats.skippedPolls = board.skippedPolls();
  stats.interruptsTaken = board.interrupts().taken();
  sim::QueueDrops drops = sim::readQueueDrops();
  stats.receiveQueueDrops = std::uint64_t{drops.console} + drops.zigbee;
  std::string text = sim::formatRunStats(stats);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    std::fprintf(stderr, "tl500-sim: %s\n", text.substr(at, end - at).c_str());
    at = end + 1;
  }
}

int run(const Options& options) {
  std::optional<sim::Script> script;
  if (options.script) {
    try {
      script = sim::loadScript(*options.script);
    } catch (const sim::ScriptError& e) {
      std::fprintf(stderr, "tl500-sim: %s\n", e.what());
      return kExitUsage;
    }
  }

  std::optional<sim::BoardImage> image;
  if (options.image) {
    try {
      image = sim::loadImage(*options.image);
    } catch (const sim::ImageError& e) {
      std::fprintf(stderr, "tl500-sim: %s\n", e.what());
      return kExitUsage;
    }
  }

  // The board image brings its own vector table; the host build's handlers
  // are not used then.
  sim::Board board{sim::BoardConfig{!options.noCrystal, image ? std::vector<sim::InterruptController::Vector>{}
                                                              : sim::firmwareVectors()}};
  if (options.maxTime) board.clock().setLimit(*options.maxTime);
  std::unique_ptr<sim::CortexM3> core;
  std::unique_ptr<sim::GdbServer> gdb;
  try {
    if (image) core = std::make_unique<sim::CortexM3>(board, *image);
    if (options.gdbPort) gdb = std::make_unique<sim::GdbServer>(*options.gdbPort);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "tl500-sim: %s\n", e.what());
    return kExitUsage;
  }
  if (options.seed) board.values().noise().seed(*options.seed);
  for (const auto& setting : options.settings) board.values().set(setting);
  board.setPollSkipping(!options.noPollSkip);

  std::unique_ptr<sim::ConsoleLog> log;
  std::unique_ptr<sim::ConsoleLog> zigbeeLog;
  std::unique_ptr<sim::I2cLog> i2cLog;
  std::unique_ptr<sim::ScriptRunner> runner;
  std::unique_ptr<sim::TerminalEndpoint> terminal;
  std::unique_ptr<sim::ZigBeeLink> link;
  std::unique_ptr<sim::BoardPanel> panel;
  std::unique_ptr<sim::BoardTrace> trace;
  try {
    if (options.consoleLog) log = std::make_unique<sim::ConsoleLog>(board.console(), *options.consoleLog);
    if (options.zigbeeLog) zigbeeLog = std::make_unique<sim::ConsoleLog>(board.zigbee().uart(), *options.zigbeeLog);
    link = sim::openZigBeeLink(options.zigbee.value_or(sim::ZigBeeLinkSpec{}), board);
    if (std::string said = link->announcement(); !said.empty()) {
      std::fprintf(stderr, "%s\n", said.c_str());
      std::fflush(stderr);
    }
    if (options.i2cLog) i2cLog = std::make_unique<sim::I2cLog>(*options.i2cLog, board.i2cBus1(), board.i2cBus2());
    if (options.vcd) {
      std::string unused;
      auto signals = sim::selectTraceSignals(options.vcdSignals.value_or("all"), unused);
      trace = std::make_unique<sim::BoardTrace>(board, *options.vcd, *signals);
    }
    if (script) {
      runner = std::make_unique<sim::ScriptRunner>(board, std::move(*script));
    } else {
      using Mode = sim::TerminalEndpoint::Mode;
      Mode mode = options.pty ? Mode::Pty : isatty(0) ? Mode::Terminal : Mode::Stream;
      sim::TerminalEndpoint::catchSignals();
      terminal = std::make_unique<sim::TerminalEndpoint>(board, mode);
      if (mode == Mode::Pty) {
        std::fprintf(stderr, "console: %s\n", terminal->ptyPath().c_str());
      } else if (mode == Mode::Terminal) {
        std::fprintf(stderr, "tl500-sim: console on this terminal; Ctrl-] ends the run\r\n");
        if (!options.noPanel && isatty(1)) panel = std::make_unique<sim::BoardPanel>(board, 1);
      }
    }
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "tl500-sim: %s\n", e.what());
    return kExitUsage;
  }

  // A firmware loop that lets no virtual time pass ends the program from the
  // watchdog's thread: the terminal and the console log are put right first.
  sim::StuckWatchdog watchdog{board.clock(), sim::StuckWatchdog::kDefaultLimit, [&] {
                                if (terminal) terminal->restore();
                                if (log) (void)log->flush();
                              }};

  Outcome outcome;
  try {
    link->start();
    if (runner) runner->start();
    if (terminal) terminal->start();
    if (panel) panel->start();
    if (core) {
      if (!gdb || gdb->serve(*core) != sim::GdbServer::End::Killed) core->run();
      if (core->exited()) outcome.returned = core->exitStatus();
      else outcome.stop = sim::Stop(sim::StopKind::UserQuit, "the debugger killed the run");
    } else {
      outcome.returned = tl500_firmware_main();
    }
    if (runner) runner->halt();
    if (outcome.returned) runAfterReturn(board);
  } catch (const sim::Stop& stop) {
    outcome.stop = stop;
  } catch (const std::exception& e) {
    if (panel) panel->restore();
    if (terminal) terminal->restore();
    std::fprintf(stderr, "tl500-sim: internal error of the virtual board at %s: %s\n",
                 sim::formatTime(board.clock().now()).c_str(), e.what());
    return kExitFault;
  }
  if (panel) panel->restore();
  if (terminal) terminal->restore();
  bool writeFailed = false;
  try {
    // The other board, if any, learns that this run is over.
    link->finish();
  } catch (const sim::Stop&) {
  }
  board.zigbee().setPeer(nullptr);
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
  // A trace or log cut short must not pass for a complete one.
  bool logFailed = log && !log->flush();
  if (logFailed) {
    std::fprintf(stderr, "tl500-sim: writing %s failed\n", options.consoleLog->c_str());
    writeFailed = true;
  }
  if (zigbeeLog && !zigbeeLog->flush()) {
    std::fprintf(stderr, "tl500-sim: writing %s failed\n", options.zigbeeLog->c_str());
    writeFailed = true;
  }
  if (i2cLog && !i2cLog->flush()) {
    std::fprintf(stderr, "tl500-sim: writing %s failed\n", options.i2cLog->c_str());
    writeFailed = true;
  }
  bool traceFailed = trace && !trace->finish();
  // A write that failed during the run has ended it with this message already.
  bool traceEndedRun = traceFailed && outcome.stop && outcome.stop->what() == trace->error();
  if (traceFailed && !traceEndedRun) std::fprintf(stderr, "tl500-sim: %s\n", trace->error().c_str());
  if (core && options.stats) {
    std::fprintf(stderr, "tl500-sim: image: %llu instructions run, %llu more in skipped wait loops\n",
                 static_cast<unsigned long long>(core->instructions()),
                 static_cast<unsigned long long>(core->skippedInstructions()));
    std::fprintf(stderr, "tl500-sim: image: stack high-water mark %u of %u bytes\n", core->stackHighWater(),
                 core->stackSize());
  }
  int status = report(outcome, runner.get(), board.clock().now());
  // A run whose console text was garbled on the line, whose input was lost,
  // or whose logs were not written, has not succeeded, however the script or
  // the firmware ended.
  if (status == kExitOk && board.console().framingErrors() != 0) status = kExitFailed;
  // The drop counters live in the firmware: the host build's own globals, or
  // the image's RAM.
  sim::QueueDrops drops = sim::readQueueDrops();
  if (core) {
    drops.console = core->readGlobal("uart_queue_serial_dropped").value_or(0);
    drops.zigbee = core->readGlobal("uart_queue_comm_dropped").value_or(0);
  }
  if (drops.any()) {
    std::fprintf(stderr, "tl500-sim: %s\n", sim::describeQueueDrops(drops).c_str());
    if (status == kExitOk) status = kExitFailed;
  }
  if (writeFailed && status == kExitOk) status = kExitUsage;
  if ((status == kExitOk && traceFailed) || traceEndedRun) status = kExitUsage;
  if (runner) runner->halt();
  if (options.stats) printStats(board);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  auto options = parseArguments(argc, argv, error);
  if (!options) return usageError(error);
  if (options->help) {
    std::fputs(kHelp, stdout);
    std::fputs("\nSensor values (--set NAME=VALUE, or set NAME VALUE in a script):\n", stdout);
    std::fputs(sim::sensorValuesHelp().c_str(), stdout);
    return kExitOk;
  }
  return run(*options);
}
