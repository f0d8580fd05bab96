// A run of the virtual board as a command line planned it: builds the board
// and what the options add to it, runs the firmware (built in, or the board
// image on the emulated core), says on standard error what went wrong, and
// gives the exit status of what happened.
#pragma once

#include "run_files.h"
#include "run_plan.h"

namespace sim {

int runBoard(const CommandLine& options, RunPlan& plan, RunFiles& files);

}  // namespace sim
