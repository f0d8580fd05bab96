#include "exit_status.h"

namespace sim {

namespace {

int optionStatus(OptionFinding finding) {
  switch (finding) {
    case OptionFinding::None:
      return kExitOk;
    case OptionFinding::OutputDiffers:
    case OptionFinding::InputRefused:
      return kExitFailed;
    case OptionFinding::OutputFailed:
      return kExitUsage;
  }
  return kExitUsage;
}

// The status of the run's end, before what was found afterwards.
int endStatus(const RunOutcome& outcome) {
  switch (outcome.end) {
    case RunEnd::Refused:
      return kExitUsage;
    case RunEnd::ScriptCompleted:
      return kExitOk;
    case RunEnd::MainReturned:
      if (outcome.mainStatus != 0) return kExitFailed;
      if (outcome.afterReturn) {
        RunOutcome after;
        after.end = *outcome.afterReturn;
        return endStatus(after);
      }
      return outcome.scriptUnfinished ? kExitFailed : kExitOk;
    case RunEnd::Failed:
      return kExitFailed;
    case RunEnd::Fault:
    case RunEnd::Stuck:
    case RunEnd::InternalError:
      return kExitFault;
    case RunEnd::Short:
      return kExitShort;
    case RunEnd::TimeLimit:
    case RunEnd::Ended:
      // A script cut short has not passed; a live run may end so.
      return outcome.scriptUnfinished ? kExitFailed : kExitOk;
    case RunEnd::Signalled:
      return kExitSignalBase + outcome.signal;
  }
  return kExitFault;
}

}  // namespace

int exitStatus(const RunOutcome& outcome) {
  // An option whose failure ended the run speaks for it: the end it caused
  // is only the consequence.
  int status = outcome.optionEndedRun && outcome.option != OptionFinding::None ? optionStatus(outcome.option)
                                                                               : endStatus(outcome);
  if (status != kExitOk) return status;
  if (outcome.keysLeft || outcome.peerBytesLost || outcome.sendsLost || outcome.framingErrors || outcome.queueDrops ||
      outcome.consoleDiffers) {
    return kExitFailed;
  }
  if (outcome.option != OptionFinding::None) return optionStatus(outcome.option);
  // An output that could not be written is a file that cannot be used.
  if (outcome.outputFailed) return kExitUsage;
  return kExitOk;
}

}  // namespace sim
