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
// that could not be written. The command line is read here; the options are
// checked in run_plan.cpp, the board run in board_run.cpp, and what happened
// becomes the exit status in exit_status.cpp.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <string_view>

#include "board_run.h"
#include "cli_extensions.h"
#include "command_line.h"
#include "exit_status.h"
#include "run_files.h"
#include "run_plan.h"
#include "scenario_runner.h"
#include "serial_port_runner.h"
#include "sim/script/command_table.h"
#include "sim/script/script.h"

namespace {

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
     something that can never happen, or looping for 5 s of its processor time
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

std::string versionText() {
  return std::string("tl500-sim ") + TL500_SIM_VERSION + "\nfirmware built " + TL500_BUILD_DATE + " " +
         TL500_BUILD_TIME + "\n";
}

// Reads what the command line names, then runs the board.
int run(const sim::CommandLine& options) {
  sim::RunFiles files;
  auto plan = sim::makePlan(options, files);
  if (!plan) return sim::exitStatus(sim::RunEnd::Refused);
  return sim::runBoard(options, *plan, files);
}

}  // namespace

int main(int argc, char** argv) {
  // "tl500-sim test ...": the scenario runner, with options of its own.
  if (argc >= 2 && std::string_view(argv[1]) == "test") return sim::runScenarioTests(argc - 1, argv + 1);
  sim::CommandLine options;
  CLI::App app{kDescription, "tl500-sim"};
  sim::setUpCommand(app, versionText(), "show the version and the firmware's build date, and exit");
  // A second --script or --image would silently drop the first: refused.
  auto* scriptOption =
      sim::addFileOption(app, "--script", options.script, "deterministic scripted run, as fast as the host allows")
          ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_option("--console", options.console,
                 "terminal (default), pty, or pty:PATH (a pseudo-terminal, with a symbolic link PATH to it)")
      ->type_name("MODE");
  sim::addFileOption(app, "--console-log", options.consoleLog,
                     "write every byte the board sent on USART1 to FILE, raw (CR LF as on the wire); - is standard "
                     "output");
  sim::addFileOption(app, "--expect-console", options.expectConsole,
                     "at the end, the console output must equal FILE byte for byte; @BUILD_DATE@ and @BUILD_TIME@ in "
                     "it stand for the banner's build date and time");
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
  auto* image = sim::addFileOption(app, "--image", options.image,
                                   "run the board image FILE (tl500.elf of the target build) instruction by "
                                   "instruction on an emulated Cortex-M3 against the same board, instead of the "
                                   "firmware built into tl500-sim; a file that is not such an image exits 2")
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
               "model every poll of a status flag as an access of its own, also the board image's polls, and "
               "run the board image's idle ticks one by one (by default polls that cannot see a change, and idle "
               "periods that repeat, pass at once; the run is the same, only slower)");
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

  if (auto status = sim::parseCommandLine(app, argc, argv, sim::usageError)) return *status;
  // An empty name is no file: without this check --script "" would start a
  // live run and --image "" would run the built-in firmware.
  if (scriptOption->count() != 0 && options.script.empty()) return sim::usageError("--script needs a file name");
  if (image->count() != 0 && options.image.empty()) return sim::usageError("--image needs a file name");
  if (options.markdown) {
    std::fputs(sim::scriptCommandsMarkdown().c_str(), stdout);
    return sim::kExitOk;
  }
  if (!options.port.empty()) {
    if (options.script.empty()) return sim::usageError("--port needs --script: the script to run against the board");
    // Options of the virtual board mean nothing to a real one: refused rather
    // than quietly ignored.
    for (const CLI::Option* option : app.get_options()) {
      if (option->count() == 0) continue;
      const std::string& name = option->get_name();
      if (name != "--port" && name != "--script" && name != "-v,--verbose" && name != "--verbose") {
        return sim::usageError("--port takes only --script and --verbose; the other options are for the virtual board");
      }
    }
    return sim::runScriptOnSerialPort(options.port, options.script, options.verbose);
  }
  if (!options.script.empty() && options.console != "terminal") {
    return sim::usageError("--script and --console " + sim::shownWord(options.console) +
                      " cannot be combined: the script is the console");
  }
  return run(options);
}
