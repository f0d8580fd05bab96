// The exit status tl500-sim gives for each way a run can end, and how later
// findings (losses, an option's verdict, an unwritable output) weigh against
// the end and against each other.
#include "sim/cli/exit_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::RunEnd;
using sim::RunOutcome;

RunOutcome ended(RunEnd end) {
  RunOutcome outcome;
  outcome.end = end;
  return outcome;
}

RunOutcome returned(int status) {
  RunOutcome outcome = ended(RunEnd::MainReturned);
  outcome.mainStatus = status;
  return outcome;
}

RunOutcome signalled(int signal) {
  RunOutcome outcome = ended(RunEnd::Signalled);
  outcome.signal = signal;
  return outcome;
}

RunOutcome unfinished(RunEnd end) {
  RunOutcome outcome = ended(end);
  outcome.scriptUnfinished = true;
  return outcome;
}

// Each finding that fails a run which otherwise passed.
std::vector<std::pair<std::string, void (*)(RunOutcome&)>> findings() {
  return {
      {"keys left", [](RunOutcome& o) { o.keysLeft = true; }},
      {"peer bytes lost", [](RunOutcome& o) { o.peerBytesLost = true; }},
      {"sends lost", [](RunOutcome& o) { o.sendsLost = true; }},
      {"framing errors", [](RunOutcome& o) { o.framingErrors = true; }},
      {"queue drops", [](RunOutcome& o) { o.queueDrops = true; }},
      {"console differs", [](RunOutcome& o) { o.consoleDiffers = true; }},
  };
}

TEST(ExitStatus, EachEndOfARunHasTheStatusTheHelpGives) {
  EXPECT_EQ(sim::exitStatus(ended(RunEnd::ScriptCompleted)), 0);
  EXPECT_EQ(sim::exitStatus(returned(0)), 0);
  EXPECT_EQ(sim::exitStatus(ended(RunEnd::TimeLimit)), 0) << "a live run may end at its time limit";
  EXPECT_EQ(sim::exitStatus(ended(RunEnd::Ended)), 0) << "the monitor's quit, gdb's kill of a live run";

  EXPECT_EQ(sim::exitStatus(ended(RunEnd::Failed)), 1);
  EXPECT_EQ(sim::exitStatus(returned(7)), 1);
  EXPECT_EQ(sim::exitStatus(returned(-1)), 1);
  EXPECT_EQ(sim::exitStatus(unfinished(RunEnd::TimeLimit)), 1) << "a script the time limit cut short";
  EXPECT_EQ(sim::exitStatus(unfinished(RunEnd::Ended)), 1) << "a script the debugger's kill cut short";
  EXPECT_EQ(sim::exitStatus(unfinished(RunEnd::MainReturned)), 1) << "lines left unrun when main returned";

  EXPECT_EQ(sim::exitStatus(ended(RunEnd::Refused)), 2);

  EXPECT_EQ(sim::exitStatus(ended(RunEnd::Fault)), 3);
  EXPECT_EQ(sim::exitStatus(ended(RunEnd::Stuck)), 3);
  EXPECT_EQ(sim::exitStatus(ended(RunEnd::InternalError)), 3);
  EXPECT_EQ(sim::exitStatus(unfinished(RunEnd::Fault)), 3) << "the fault, not the unfinished script, is the end";

  EXPECT_EQ(sim::exitStatus(ended(RunEnd::Short)), 4);
  EXPECT_EQ(sim::exitStatus(unfinished(RunEnd::Short)), 4);

  EXPECT_EQ(sim::exitStatus(signalled(2)), 130);
  EXPECT_EQ(sim::exitStatus(signalled(13)), 141);
  EXPECT_EQ(sim::exitStatus(signalled(15)), 143);
  RunOutcome signalledScript = signalled(1);
  signalledScript.scriptUnfinished = true;
  EXPECT_EQ(sim::exitStatus(signalledScript), 129) << "a signal speaks for a cut-short script too";
}

TEST(ExitStatus, AFailureAfterMainReturnedCountsUnlessMainAlreadyFailed) {
  for (auto [after, status] : {std::pair{RunEnd::Failed, 1}, {RunEnd::Fault, 3}, {RunEnd::Short, 4}}) {
    RunOutcome outcome = returned(0);
    outcome.afterReturn = after;
    EXPECT_EQ(sim::exitStatus(outcome), status);
    outcome.mainStatus = 5;
    EXPECT_EQ(sim::exitStatus(outcome), 1) << "main's own failure was first";
  }
  RunOutcome faultWithLinesLeft = returned(0);
  faultWithLinesLeft.afterReturn = RunEnd::Fault;
  faultWithLinesLeft.scriptUnfinished = true;
  EXPECT_EQ(sim::exitStatus(faultWithLinesLeft), 3);
}

TEST(ExitStatus, AnOptionThatEndedTheRunSpeaksForIt) {
  // A trace whose writing failed stops the run; the stop it caused does not
  // decide, the unwritable file does.
  for (RunOutcome outcome : {ended(RunEnd::Failed), ended(RunEnd::Fault), ended(RunEnd::Short), signalled(15),
                             ended(RunEnd::ScriptCompleted), unfinished(RunEnd::Ended)}) {
    outcome.option = sim::OptionFinding::OutputFailed;
    outcome.optionEndedRun = true;
    EXPECT_EQ(sim::exitStatus(outcome), 2);
    outcome.option = sim::OptionFinding::OutputDiffers;
    EXPECT_EQ(sim::exitStatus(outcome), 1);
  }
  RunOutcome alsoDiffers = ended(RunEnd::Failed);
  alsoDiffers.option = sim::OptionFinding::OutputFailed;
  alsoDiffers.optionEndedRun = true;
  alsoDiffers.consoleDiffers = true;
  EXPECT_EQ(sim::exitStatus(alsoDiffers), 2);
}

TEST(ExitStatus, FindingsAfterTheEndFailOnlyARunThatPassed) {
  for (const auto& [name, find] : findings()) {
    SCOPED_TRACE(name);
    for (RunOutcome passing : {ended(RunEnd::ScriptCompleted), returned(0), ended(RunEnd::TimeLimit)}) {
      find(passing);
      EXPECT_EQ(sim::exitStatus(passing), 1);
    }
    RunOutcome fault = ended(RunEnd::Fault);
    find(fault);
    EXPECT_EQ(sim::exitStatus(fault), 3);
    RunOutcome shorted = ended(RunEnd::Short);
    find(shorted);
    EXPECT_EQ(sim::exitStatus(shorted), 4);
    RunOutcome signal = signalled(2);
    find(signal);
    EXPECT_EQ(sim::exitStatus(signal), 130);
    // A lost byte outweighs an option's later complaint and an unwritable log.
    RunOutcome withOption = ended(RunEnd::ScriptCompleted);
    find(withOption);
    withOption.option = sim::OptionFinding::OutputFailed;
    withOption.outputFailed = true;
    EXPECT_EQ(sim::exitStatus(withOption), 1);
  }
}

TEST(ExitStatus, AnOptionsVerdictAndAnUnwritableOutputComeLast) {
  RunOutcome differs = ended(RunEnd::ScriptCompleted);
  differs.option = sim::OptionFinding::OutputDiffers;
  EXPECT_EQ(sim::exitStatus(differs), 1) << "--expect-zigbee";
  differs.outputFailed = true;
  EXPECT_EQ(sim::exitStatus(differs), 1) << "the option's finding was first";

  RunOutcome refused = ended(RunEnd::Ended);
  refused.option = sim::OptionFinding::InputRefused;
  EXPECT_EQ(sim::exitStatus(refused), 1) << "a web request refused is input the board never took";

  RunOutcome trace = returned(0);
  trace.option = sim::OptionFinding::OutputFailed;
  EXPECT_EQ(sim::exitStatus(trace), 2) << "a trace that could not be written";

  RunOutcome failedScript = ended(RunEnd::Failed);
  failedScript.option = sim::OptionFinding::OutputFailed;
  EXPECT_EQ(sim::exitStatus(failedScript), 1) << "the option did not end the run: the run's end decides";

  RunOutcome output = returned(0);
  output.outputFailed = true;
  EXPECT_EQ(sim::exitStatus(output), 2);
  RunOutcome fault = ended(RunEnd::Fault);
  fault.outputFailed = true;
  EXPECT_EQ(sim::exitStatus(fault), 3);
  RunOutcome signal = signalled(15);
  signal.outputFailed = true;
  EXPECT_EQ(sim::exitStatus(signal), 143) << "outputs are complete up to the signal, not failed";
}

}  // namespace
