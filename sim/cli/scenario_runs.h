// The runs of a case of `tl500-sim test`: the command line and files of
// each run, the checks of a finished run against the scenario's expected
// outcome (or of the two runs with and without poll skipping against each
// other), the command that reproduces a failure, and the files' removal.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "child_pool.h"
#include "scenario_file.h"
#include "scenario_plan.h"

namespace sim::scenarios {

// The files and command line of one run of a case.
struct RunPlan {
  std::string base;  // path prefix of its files in the work folder
  std::string consoleLog, zigbeeLog, i2cLog, vcd, out, err;
  std::vector<std::string> args;
  bool ownTrace = false;
  std::vector<std::string> files() const {
    std::vector<std::string> all{consoleLog, zigbeeLog, out, err};
    if (!i2cLog.empty()) all.push_back(i2cLog);
    if (!vcd.empty()) all.push_back(vcd);
    return all;
  }
};

class ScenarioRuns {
 public:
  ScenarioRuns(Options options, std::vector<ScenarioFile> scenarios, std::string workDir)
      : options_(std::move(options)), scenarios_(std::move(scenarios)), workDir_(std::move(workDir)) {}

  std::optional<BuildStamp> imageStamp;

  // The JUnit suite's name: which firmware ran, and how.
  std::string variantName() const;
  // "NAME" or "NAME seed N".
  std::string label(const Case& c) const;

  // Expected console transcripts with the build date in place, for image
  // runs: the image's banner carries its own build's date.
  bool prepareImageTranscripts();

  // The command line and files of run `which` (0, or 1 for the run without
  // poll skipping) of a case.
  RunPlan plan(const Case& c, int which) const;
  std::size_t runsPerCase() const { return options_.comparePollSkipping ? 2 : 1; }

  // Checks a finished case; the problems found, none when it passed.
  std::vector<std::string> check(const Case& c, const std::vector<ChildResult>& results) const;
  std::string reproduce(const Case& c) const;

  void removeFiles(const Case& c) const;
  // The image runs' expected transcripts, but those of the scenarios in `keep`.
  void removeTranscripts(const std::set<std::uint32_t>& keep) const;

  const ScenarioFile& scenario(const Case& c) const { return scenarios_[c.scenario]; }
  std::string program_ = programPath();

 private:
  std::string stampDate() const { return imageStamp ? imageStamp->date : TL500_BUILD_DATE; }
  std::string stampTime() const { return imageStamp ? imageStamp->time : TL500_BUILD_TIME; }
  std::optional<std::string> expectedConsolePath(std::uint32_t scenario) const;
  std::vector<std::string> checkRun(const Case& c, const ChildResult& result) const;
  void checkStack(const ScenarioFile& scenario, const std::string& err, std::vector<std::string>& problems) const;
  std::vector<std::string> checkEquivalence(const Case& c, const std::vector<ChildResult>& results) const;

  Options options_;
  std::vector<ScenarioFile> scenarios_;
  std::string workDir_;
  std::map<std::size_t, std::string> imageTranscripts_;
};

}  // namespace sim::scenarios
