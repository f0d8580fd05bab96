// Ending a run of the virtual board.
//
// The firmware runs on the host's own call stack. Whatever ends the run (the
// script is done, an expectation failed, the firmware faulted, the time limit)
// throws Stop from inside the register access or idle hint where it was found;
// the runner that called the firmware catches it.
#pragma once

#include <stdexcept>
#include <string>

namespace sim {

enum class StopKind {
  Completed,         // the script ran to its end, or the caller's own goal was met
  FirmwareReturned,  // main returned
  Failed,            // a wait or an expectation of the script failed
  Fault,             // fault handler, unused vector, bus error, firmware stuck
  Short,             // two drivers fight over a net of the board
  TimeLimit,         // the run's virtual time limit was reached
  UserQuit,          // the operator ended an interactive run
};

class Stop : public std::runtime_error {
 public:
  Stop(StopKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  StopKind kind() const { return kind_; }

 private:
  StopKind kind_;
};

}  // namespace sim
