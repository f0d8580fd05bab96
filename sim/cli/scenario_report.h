// What `tl500-sim test` shows of its runs: the progress line at the bottom
// of a terminal, a failure's report, and the JUnit XML of the results.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "scenario_plan.h"
#include "scenario_runs.h"

namespace sim::scenarios {

struct Failure {
  std::string message;  // the first problem, one line
  std::string text;     // everything: problems, the command to reproduce it, output
};

// Every line of `text` begun with `by`.
std::string indent(const std::string& text, const std::string& by);
// Text as XML character data or attribute value: markup escaped, bytes XML
// cannot carry (control bytes, broken UTF-8) shown as \xNN.
std::string xmlText(std::string_view text);

// The line at the bottom of a terminal that says how far the runs are.
class Progress {
 public:
  // Shown only when standard error is a terminal.
  explicit Progress(std::size_t total);

  void update(std::size_t done, std::size_t passed, std::size_t failed, const std::string& running);
  void clear();

 private:
  bool on_;
  std::size_t total_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// The finished cases as JUnit XML; false when writing failed.
bool writeJunit(std::FILE* file, const ScenarioRuns& runs, const std::vector<Case>& cases,
                const std::vector<Failure>& failures, double seconds);

}  // namespace sim::scenarios
