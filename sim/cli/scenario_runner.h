// tl500-sim test [FILE|DIR]...: runs scenario files (a script with its
// expected outcome, see scenario_file.h), each in a child tl500-sim, many at
// once, optionally under many timing seeds, and says which passed.
#pragma once

namespace sim {

// argv[0] is "test"; returns the exit status of tl500-sim.
int runScenarioTests(int argc, char** argv);

}  // namespace sim
