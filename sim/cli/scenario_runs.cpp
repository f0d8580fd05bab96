#include "scenario_runs.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "transcript.h"

namespace sim::scenarios {

namespace {

namespace fs = std::filesystem;

// What a failure report shows of a run's own output.
constexpr std::size_t kTailLines = 30;
constexpr std::size_t kTailBytes = 4000;
// Logs and traces larger than this are not read for comparison.
constexpr std::uintmax_t kMaxCompareBytes = 512u << 20;
// The option that gives a child its timing seed.
constexpr const char kTimingSeedOption[] = "--timing-seed";

std::optional<std::string> readFile(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > kMaxCompareBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The last lines of a run's output, for a report.
std::string tail(const std::string& text) {
  std::size_t from = text.size() > kTailBytes ? text.size() - kTailBytes : 0;
  std::size_t lines = 0;
  for (std::size_t at = text.size(); at > from; --at) {
    if (text[at - 1] == '\n' && at != text.size() && ++lines >= kTailLines) {
      from = at;
      break;
    }
  }
  std::string shown = text.substr(from);
  if (!shown.empty() && shown.back() == '\n') shown.pop_back();
  return (from > 0 ? "...\n" : "") + shown;
}

// A run's standard output and error for a report, the parts that hold anything.
std::string outputs(const std::string& out, const std::string& err) {
  std::string text;
  if (!out.empty()) text += "\n--- standard output:\n" + tail(out);
  if (!err.empty()) text += "\n--- standard error:\n" + tail(err);
  return text;
}

std::string match(const std::string& text, const std::regex& pattern, int group = 0) {
  std::smatch found;
  return std::regex_search(text, found, pattern) ? found[group].str() : std::string();
}

std::string firstDifferentLines(const std::string& a, const std::string& b) {
  std::size_t at = 0, line = 1;
  while (at < a.size() && at < b.size() && a[at] == b[at]) {
    if (a[at] == '\n') ++line;
    ++at;
  }
  std::size_t start = a.rfind('\n', at == 0 ? 0 : at - 1);
  start = start == std::string::npos || at == 0 ? 0 : start + 1;
  auto lines = [&](const std::string& text) {
    std::size_t end = start;
    for (int n = 0; n < 8 && end < text.size(); ++n) {
      std::size_t next = text.find('\n', end);
      end = next == std::string::npos ? text.size() : next + 1;
    }
    return text.substr(start, std::min<std::size_t>(end - start, 1000));
  };
  return "first difference at line " + std::to_string(line) + ":\n--- with:\n" + lines(a) + "--- without:\n" + lines(b);
}

void checkTraces(const std::string& with, const std::string& without, const ChildResult& result,
                 std::vector<std::string>& problems) {
  std::error_code error;
  bool haveWith = fs::exists(with, error), haveWithout = fs::exists(without, error);
  // A run refused before the board starts writes no trace; then neither may.
  if (haveWith != haveWithout) {
    problems.push_back("only one of the two runs wrote its trace: " + with + ", " + without);
    return;
  }
  if (!haveWith) return;
  auto a = readFile(with), b = readFile(without);
  if (!a || !b) {
    problems.push_back("the traces cannot be read for comparison: " + with + ", " + without);
    return;
  }
  if (*a != *b) {
    problems.push_back("the pin traces differ with and without poll skipping: " + with + ", " + without + "\n" +
                       firstDifferentLines(*a, *b));
    return;
  }
  // Only a trace that recorded something proves anything.
  if (result.exitedWith(0) && a->size() < 200) {
    problems.push_back("the trace of the run holds almost nothing (" + std::to_string(a->size()) + " bytes): " + with);
  }
}

}  // namespace

std::string ScenarioRuns::variantName() const {
  std::string name = options_.image.empty() ? "scenario" : "image";
  if (options_.comparePollSkipping) name += "_without_poll_skipping";
  return name;
}

std::string ScenarioRuns::label(const Case& c) const {
  std::string text = scenarios_[c.scenario].name;
  if (c.hasSeed) text += " seed " + std::to_string(c.seed);
  return text;
}

bool ScenarioRuns::prepareImageTranscripts() {
  if (options_.image.empty() || options_.comparePollSkipping) return true;
  for (std::size_t i = 0; i < scenarios_.size(); ++i) {
    const auto& scenario = scenarios_[i];
    if (!scenario.expectedConsole) continue;
    auto text = readFile(*scenario.expectedConsole);
    if (!text) {
      std::fprintf(stderr, "tl500-sim test: cannot read %s\n", scenario.expectedConsole->c_str());
      return false;
    }
    std::string path = workDir_ + "/" + scenario.name + ".image.expected-console";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << expandTranscript(*text, stampDate(), stampTime());
    out.close();
    if (!out) {
      std::fprintf(stderr, "tl500-sim test: cannot write %s\n", path.c_str());
      return false;
    }
    imageTranscripts_[i] = path;
  }
  return true;
}

RunPlan ScenarioRuns::plan(const Case& c, int which) const {
  const ScenarioFile& scenario = scenarios_[c.scenario];
  RunPlan p;
  p.base = workDir_ + "/" + scenario.name + (options_.image.empty() ? "" : ".image") +
           (c.hasSeed ? ".seed-" + std::to_string(c.seed) : "") +
           (options_.comparePollSkipping ? (which == 0 ? ".skip" : ".no-skip") : "");
  p.consoleLog = p.base + ".console.log";
  p.zigbeeLog = p.base + ".zigbee.log";
  p.out = p.base + ".stdout";
  p.err = p.base + ".stderr";
  p.args = {"--script", scenario.path, "--console-log", p.consoleLog, "--zigbee-log", p.zigbeeLog};
  for (const auto& arg : scenario.args) {
    if (arg == "--vcd" || arg.rfind("--vcd=", 0) == 0) p.ownTrace = true;
  }
  if (options_.comparePollSkipping) {
    // Both runs record every signal, unless the scenario names a trace of
    // its own: the two traces must be the same file, edge for edge.
    p.i2cLog = p.base + ".i2c.log";
    p.args.insert(p.args.end(), {"--i2c-log", p.i2cLog, "--stats"});
    if (which == 1) p.args.push_back("--no-poll-skip");
    if (!p.ownTrace) {
      p.vcd = p.base + ".vcd";
      // Every edge at its own picosecond: the two runs must agree edge for edge.
      p.args.insert(p.args.end(), {"--vcd", p.vcd, "--vcd-timescale", "1ps"});
    }
    if (!options_.image.empty()) p.args.insert(p.args.end(), {"--image", options_.image});
    p.args.insert(p.args.end(), scenario.args.begin(), scenario.args.end());
    if (options_.image.empty() && scenario.expectedConsole) {
      p.args.insert(p.args.end(), {"--expect-console", *scenario.expectedConsole});
    }
  } else {
    if (!options_.image.empty()) p.args.insert(p.args.end(), {"--image", options_.image, "--stats"});
    p.args.insert(p.args.end(), scenario.args.begin(), scenario.args.end());
    if (auto expected = expectedConsolePath(c.scenario)) p.args.insert(p.args.end(), {"--expect-console", *expected});
    if (scenario.expectedZigbee) p.args.insert(p.args.end(), {"--expect-zigbee", *scenario.expectedZigbee});
  }
  if (c.hasSeed) p.args.insert(p.args.end(), {kTimingSeedOption, std::to_string(c.seed)});
  return p;
}

std::vector<std::string> ScenarioRuns::check(const Case& c, const std::vector<ChildResult>& results) const {
  if (!scenarios_[c.scenario].headerError.empty()) return {scenarios_[c.scenario].headerError};
  return options_.comparePollSkipping ? checkEquivalence(c, results) : checkRun(c, results[0]);
}

std::string ScenarioRuns::reproduce(const Case& c) const {
  std::vector<std::string> command{program_};
  if (!options_.comparePollSkipping) {
    auto args = plan(c, 0).args;
    command.insert(command.end(), args.begin(), args.end());
    return "reproduce: " + shellCommand(command);
  }
  std::string text;
  for (int which = 0; which < 2; ++which) {
    auto words = command;
    auto args = plan(c, which).args;
    words.insert(words.end(), args.begin(), args.end());
    text += std::string(which == 0 ? "reproduce, with poll skipping: " : "\nand without: ") + shellCommand(words);
  }
  return text;
}

void ScenarioRuns::removeFiles(const Case& c) const {
  for (std::size_t which = 0; which < runsPerCase(); ++which) {
    for (const auto& file : plan(c, static_cast<int>(which)).files()) {
      std::error_code ignored;
      fs::remove(file, ignored);
    }
  }
}

void ScenarioRuns::removeTranscripts(const std::set<std::uint32_t>& keep) const {
  for (const auto& [scenario, path] : imageTranscripts_) {
    if (keep.count(static_cast<std::uint32_t>(scenario)) != 0) continue;
    std::error_code ignored;
    fs::remove(path, ignored);
  }
}

std::optional<std::string> ScenarioRuns::expectedConsolePath(std::uint32_t scenario) const {
  if (options_.image.empty()) return scenarios_[scenario].expectedConsole;
  auto found = imageTranscripts_.find(scenario);
  if (found == imageTranscripts_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> ScenarioRuns::checkRun(const Case& c, const ChildResult& result) const {
  const ScenarioFile& scenario = scenarios_[c.scenario];
  RunPlan p = plan(c, 0);
  std::vector<std::string> problems;
  std::string err = readFile(p.err).value_or("");
  if (!result.exitedWith(scenario.expectedExit)) {
    std::string out = readFile(p.out).value_or("");
    problems.push_back(result.describe(options_.timeout) + ", expected exit status " +
                       std::to_string(scenario.expectedExit) + outputs(out, err));
    return problems;
  }
  for (const auto& text : scenario.stderrContains) {
    if (err.find(text) == std::string::npos) problems.push_back("standard error lacks \"" + text + "\"");
  }
  for (const auto& text : scenario.stderrOnce) {
    std::size_t first = err.find(text);
    if (first == std::string::npos) {
      problems.push_back("standard error lacks \"" + text + "\"");
    } else if (err.find(text, first + 1) != std::string::npos) {
      problems.push_back("standard error holds \"" + text + "\" more than once");
    }
  }
  if (!options_.image.empty()) checkStack(scenario, err, problems);
  if (scenario.expectedZigbee) {
    auto want = readFile(*scenario.expectedZigbee);
    if (!want) {
      problems.push_back("cannot read " + *scenario.expectedZigbee);
    } else if (auto difference = compareTranscript(*want, readFile(p.zigbeeLog).value_or(""), "the ZigBee output")) {
      problems.push_back("the bytes the board sent on USART3 differ from " + *scenario.expectedZigbee + ": " +
                         *difference);
    }
  }
  if (auto expectedPath = expectedConsolePath(c.scenario)) {
    auto want = readFile(*expectedPath);
    auto got = readFile(p.consoleLog);
    if (!want) {
      problems.push_back("cannot read " + *expectedPath);
    } else if (!got) {
      problems.push_back("no console log was written (" + p.consoleLog + ")");
    } else {
      std::string expected =
          options_.image.empty() ? expandTranscript(*want, TL500_BUILD_DATE, TL500_BUILD_TIME) : *want;
      if (auto difference = compareTranscript(expected, *got)) {
        problems.push_back("the console log differs from " + *scenario.expectedConsole + ": " + *difference);
      }
    }
  }
  if (!problems.empty()) problems.back() += outputs("", err);
  return problems;
}

void ScenarioRuns::checkStack(const ScenarioFile& scenario, const std::string& err,
                              std::vector<std::string>& problems) const {
  static const std::regex mark("stack high-water mark ([0-9]+) of ([0-9]+) bytes");
  std::smatch found;
  if (!std::regex_search(err, found, mark)) {
    if (scenario.expectedExit == 0) problems.push_back("tl500-sim --stats did not report the stack's high-water mark");
    return;
  }
  unsigned long highWater = std::stoul(found[1]);
  unsigned long size = std::stoul(found[2]);
  if (highWater >= size) {
    problems.push_back("the stack's high-water mark " + std::to_string(highWater) + " reaches the " +
                       std::to_string(size) + "-byte stack");
  }
  if (options_.stackReport.empty()) return;
  auto report = readFile(options_.stackReport);
  if (!report) return;  // no estimate made: nothing to hold the mark against
  static const std::regex worst("Worst case: \\*\\*([0-9]+) bytes");
  std::smatch estimate;
  if (std::regex_search(*report, estimate, worst) && highWater > std::stoul(estimate[1])) {
    problems.push_back("the stack's high-water mark " + std::to_string(highWater) + " beats the static estimate of " +
                       estimate[1].str() + " bytes (" + options_.stackReport + "): the estimate is not an upper bound");
  }
}

std::vector<std::string> ScenarioRuns::checkEquivalence(const Case& c, const std::vector<ChildResult>& results) const {
  static const std::regex virtualTime("stats: virtual time [0-9.]+ s");
  static const std::regex polls("stats: ([0-9]+) register accesses, ([0-9]+) polls skipped");
  std::vector<std::string> problems;
  RunPlan runs[2] = {plan(c, 0), plan(c, 1)};
  std::string err[2], time[2], pollCount[2];
  for (int i = 0; i < 2; ++i) {
    err[i] = readFile(runs[i].err).value_or("");
    time[i] = match(err[i], virtualTime);
    std::smatch found;
    if (std::regex_search(err[i], found, polls)) {
      // Every poll is made or let pass: the two add up alike in both runs.
      pollCount[i] = std::to_string(std::stoull(found[1]) + std::stoull(found[2]));
    }
    // A run refused before the board starts has no figures; one that ran must show them.
    if (time[i].empty() && results[i].exitedWith(0)) {
      problems.push_back(std::string(i == 0 ? "the run with" : "the run without") +
                         " poll skipping printed no virtual time:\n" + tail(err[i]));
    }
  }
  if (!(results[0] == results[1])) {
    problems.push_back(results[0].describe(options_.timeout) + " with poll skipping, " +
                       results[1].describe(options_.timeout) + " without\n--- with:\n" + tail(err[0]) +
                       "\n--- without:\n" + tail(err[1]));
  }
  if (time[0] != time[1]) {
    problems.push_back("the runs end at different virtual times: " + time[0] + " with poll skipping, " + time[1] +
                       " without");
  }
  if (readFile(runs[0].consoleLog) != readFile(runs[1].consoleLog)) {
    problems.push_back("the console logs differ with and without poll skipping: " + runs[0].consoleLog + ", " +
                       runs[1].consoleLog);
  }
  if (readFile(runs[0].zigbeeLog) != readFile(runs[1].zigbeeLog)) {
    problems.push_back("the ZigBee logs differ with and without poll skipping: " + runs[0].zigbeeLog + ", " +
                       runs[1].zigbeeLog);
  }
  if (!runs[0].ownTrace) checkTraces(runs[0].vcd, runs[1].vcd, results[0], problems);
  if (readFile(runs[0].i2cLog) != readFile(runs[1].i2cLog)) {
    problems.push_back("the I2C transactions differ with and without poll skipping: " + runs[0].i2cLog + ", " +
                       runs[1].i2cLog);
  }
  if (pollCount[0] != pollCount[1]) {
    problems.push_back("the runs make different numbers of polls: " + pollCount[0] +
                       " with poll skipping (accesses and polls let pass), " + pollCount[1] + " without");
  }
  return problems;
}

}  // namespace sim::scenarios
