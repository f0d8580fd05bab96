// What happened in a run of tl500-sim, and the one place that turns it into
// the program's exit status (the "Exit status" section of --help).
//
// The run collects facts as it finds them and says each on standard error;
// the status follows from the facts alone, so every way a run can end has its
// status decided here and nowhere else.
#pragma once

#include <optional>

namespace sim {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFault = 3;
inline constexpr int kExitShort = 4;
inline constexpr int kExitSignalBase = 128;

// What an option found once the run had ended.
enum class OptionFinding {
  None,
  OutputDiffers,  // an output it checks is not the expected one (--expect-zigbee)
  InputRefused,   // input it was given was refused (a foreign or malformed web request)
  OutputFailed,   // an output it writes could not be written (the trace)
};

// How the firmware's run ended.
enum class RunEnd {
  Refused,          // usage error, unreadable or unwritable file, no image for this board
  ScriptCompleted,  // the script's last line passed
  MainReturned,     // main returned; its value is RunOutcome::mainStatus
  Failed,           // a wait or an expect of the script failed
  Fault,            // fault handler, unused vector, operating limits, a stuck firmware
  Stuck,            // the watchdog found a loop that lets no virtual time pass
  InternalError,    // the virtual board itself failed
  Short,            // two drivers fought over a net
  TimeLimit,        // --max-time
  Ended,            // the operator (monitor, key, gdb's kill) ended the run
  Signalled,        // a signal ended the run; its number is RunOutcome::signal
};

struct RunOutcome {
  RunEnd end = RunEnd::ScriptCompleted;
  int mainStatus = 0;  // RunEnd::MainReturned
  int signal = 0;      // RunEnd::Signalled
  // Script lines were left when the run ended (time limit, operator) or when
  // main returned.
  bool scriptUnfinished = false;
  // The board runs on a little after main returns; a failure then (Failed,
  // Fault or Short) counts as the run's.
  std::optional<RunEnd> afterReturn;

  // An option's own finding once the run has ended (an expected ZigBee
  // output that differs, a trace that could not be written), and whether the
  // run's end was its doing, when it speaks for the whole run.
  OptionFinding option = OptionFinding::None;
  bool optionEndedRun = false;

  // Found after the end; each fails a run that otherwise passed.
  bool keysLeft = false;        // piped keys a time limit cut off
  bool peerBytesLost = false;   // bytes of the ZigBee peer the module dropped in reset
  bool sendsLost = false;       // bytes a script sent that never reached the board
  bool framingErrors = false;   // console bytes garbled on the line
  bool queueDrops = false;      // the firmware's receive queues dropped bytes
  bool consoleDiffers = false;  // the console is not --expect-console's

  bool outputFailed = false;  // a log, a trace or standard output could not be written
};

int exitStatus(const RunOutcome& outcome);

// The status a run that ended in `end` alone would exit with.
inline int exitStatus(RunEnd end) {
  RunOutcome outcome;
  outcome.end = end;
  return exitStatus(outcome);
}

}  // namespace sim
