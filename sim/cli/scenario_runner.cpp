#include "scenario_runner.h"

#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "child_pool.h"
#include "scenario_file.h"
#include "transcript.h"

namespace sim {

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr double kDefaultTimeout = 300;
// Cases of one invocation: beyond this a sweep is split with --shard.
constexpr std::uint64_t kMaxCases = 1000000;
// What a failure report shows of a run's own output.
constexpr std::size_t kTailLines = 30;
constexpr std::size_t kTailBytes = 4000;
// Logs and traces larger than this are not read for comparison.
constexpr std::uintmax_t kMaxCompareBytes = 512u << 20;
constexpr std::uint64_t kMaxSeeds = 10000000;
// Failures reported in full; later ones get a line each (and their
// message and reproduce command in the JUnit file).
constexpr std::size_t kFullReports = 100;
// The option that gives a child its timing seed.
constexpr const char kTimingSeedOption[] = "--timing-seed";

constexpr const char kDescription[] = R"(Run scenario files on the virtual board and say which pass.

Each FILE is a scenario (a script, usually NAME.tlscript); each DIR stands for
the *.tlscript files in it (not in its subfolders). A scenario's leading
comment lines may hold
  # args: --no-crystal --max-time 2s   more arguments for its run (shell words)
  # exit: 1                            the exit status expected (default 0)
  # stderr: TEXT                       a text standard error must contain
  # stderr-once: TEXT                  the same, exactly once
NAME.console beside the script is the console output the run must give byte
for byte (@BUILD_DATE@ and @BUILD_TIME@ stand for the banner's build date and
time: with --image the image's own), NAME.zigbee the bytes the board must send
on USART3. With --image the stack's high-water mark must stay under the stack's
size (and under the static estimate of --stack-report).

Every run is a tl500-sim of its own, started from this program, with standard
input from /dev/null, its logs in the work folder, and a wall-clock limit. A
failure names the scenario, the seed and the command that reproduces it alone.
The last line of standard output is "N passed, N failed".
)";

constexpr const char kFooter[] = R"(
Exit status:
  0  every run passed (also a shard that holds no run)
  1  a run failed: wrong exit status, a text missing on standard error, a
     console or ZigBee output that differs, the stack over its bounds, a run
     killed or over its time limit, or runs with and without poll skipping
     that differ
  2  usage error: an unknown option, no such file or folder, no scenario in
     the selection, an --image that is no file, a JUnit file or work folder
     that cannot be written
  128+N  the runner was ended by signal N (the runs were ended first)

Splitting a sweep over the jobs of a CI system: each of N jobs runs
  tl500-sim test tests/scenarios --seeds 1..2000 --shard K/N --junit shard-K.xml
with its own K from 1 to N. Together the shards run every scenario under every
seed once; a scenario and seed always land in the same shard, whatever else is
selected.)";

struct Options {
  std::vector<std::string> paths;
  unsigned jobs = 0;
  std::string seeds;
  std::string junit;
  std::string shard;
  std::string image;
  std::string stackReport;
  std::string workDir;
  double timeout = kDefaultTimeout;
  bool comparePollSkipping = false;
  bool keepLogs = false;
  bool verbose = false;
};

int usageError(const std::string& message) {
  std::fprintf(stderr, "tl500-sim test: %s\nTry 'tl500-sim test --help' for more information.\n", message.c_str());
  return kExitUsage;
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

struct SeedRange {
  std::uint64_t first = 0, count = 0;
};

// "A..B" or "N".
std::optional<SeedRange> parseSeeds(const std::string& text) {
  std::size_t dots = text.find("..");
  auto first = parseNumber(dots == std::string::npos ? text : text.substr(0, dots));
  auto last = dots == std::string::npos ? first : parseNumber(text.substr(dots + 2));
  if (!first || !last || *last < *first) return std::nullopt;
  return SeedRange{*first, *last - *first + 1};
}

struct Shard {
  std::uint64_t index = 0, count = 1;  // index from 0
};

// "K/N", 1 <= K <= N.
std::optional<Shard> parseShard(const std::string& text) {
  std::size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  auto k = parseNumber(text.substr(0, slash));
  auto n = parseNumber(text.substr(slash + 1));
  if (!k || !n || *k < 1 || *n < 1 || *k > *n || *n > 1000000) return std::nullopt;
  return Shard{*k - 1, *n};
}

// The shard of a scenario and seed depends on nothing else: a hash of both
// (FNV-1a, then a mixer so that neighbouring seeds spread).
std::uint64_t shardKey(const std::string& name, std::optional<std::uint64_t> seed) {
  std::string key = name + "\n" + (seed ? std::to_string(*seed) : std::string());
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  hash ^= hash >> 30;
  hash *= 0xbf58476d1ce4e5b9ull;
  hash ^= hash >> 27;
  hash *= 0x94d049bb133111ebull;
  hash ^= hash >> 31;
  return hash;
}

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

std::string indent(const std::string& text, const std::string& by) {
  std::string out = by;
  for (char c : text) {
    out += c;
    if (c == '\n') out += by;
  }
  return out;
}

// Text as XML character data or attribute value: markup escaped, bytes XML
// cannot carry (control bytes, broken UTF-8) shown as \xNN.
std::string xmlText(std::string_view text) {
  std::string out;
  auto hex = [&](unsigned char c) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
    out += buffer;
  };
  for (std::size_t at = 0; at < text.size();) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\n': out += "&#10;"; break;
        case '\t': out += "&#9;"; break;
        case '\r': out += "&#13;"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            hex(c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++at;
      continue;
    }
    // A well-formed UTF-8 sequence of a character XML allows passes whole.
    std::size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
    bool ok = length != 0 && at + length <= text.size();
    std::uint32_t code = length == 4 ? c & 0x07u : length == 3 ? c & 0x0fu : c & 0x1fu;
    for (std::size_t i = 1; ok && i < length; ++i) {
      auto next = static_cast<unsigned char>(text[at + i]);
      ok = (next & 0xc0) == 0x80;
      code = (code << 6) | (next & 0x3fu);
    }
    ok = ok && !(length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff) || code >= 0xfffe)) &&
         !(length == 4 && (code < 0x10000 || code > 0x10ffff));
    if (ok) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      hex(c);
      ++at;
    }
  }
  return out;
}

std::string programPath() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string("tl500-sim") : self.string();
}

unsigned coreCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

// One scenario under one seed.
struct Case {
  std::uint32_t scenario = 0;
  bool hasSeed = false;
  std::uint64_t seed = 0;
  std::uint8_t runsLeft = 0;
  bool finished = false;
  bool failed = false;
  double seconds = 0;
  std::uint32_t report = 0;  // into the failure reports, when failed
};

struct Failure {
  std::string message;  // the first problem, one line
  std::string text;     // everything: problems, the command to reproduce it, output
};

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

class Runner {
 public:
  Runner(Options options, std::vector<ScenarioFile> scenarios, std::string workDir)
      : options_(std::move(options)), scenarios_(std::move(scenarios)), workDir_(std::move(workDir)) {}

  std::vector<Case>& cases() { return cases_; }
  std::optional<BuildStamp> imageStamp;

  std::string variantName() const {
    std::string name = options_.image.empty() ? "scenario" : "image";
    if (options_.comparePollSkipping) name += "_without_poll_skipping";
    return name;
  }

  std::string label(const Case& c) const {
    std::string text = scenarios_[c.scenario].name;
    if (c.hasSeed) text += " seed " + std::to_string(c.seed);
    return text;
  }

  // Expected console transcripts with the build date in place, for image
  // runs: the image's banner carries its own build's date.
  bool prepareImageTranscripts() {
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

  RunPlan plan(const Case& c, int which) const {
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

  std::size_t runsPerCase() const { return options_.comparePollSkipping ? 2 : 1; }

  // Checks a finished case; the problems found, none when it passed.
  std::vector<std::string> check(const Case& c, const std::vector<ChildResult>& results) const {
    if (!scenarios_[c.scenario].headerError.empty()) return {scenarios_[c.scenario].headerError};
    return options_.comparePollSkipping ? checkEquivalence(c, results) : checkRun(c, results[0]);
  }

  std::string reproduce(const Case& c) const {
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

  void removeFiles(const Case& c) const {
    for (std::size_t which = 0; which < runsPerCase(); ++which) {
      for (const auto& file : plan(c, static_cast<int>(which)).files()) {
        std::error_code ignored;
        fs::remove(file, ignored);
      }
    }
  }

  void removeTranscripts(const std::set<std::uint32_t>& keep) const {
    for (const auto& [scenario, path] : imageTranscripts_) {
      if (keep.count(static_cast<std::uint32_t>(scenario)) != 0) continue;
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  }

  const ScenarioFile& scenario(const Case& c) const { return scenarios_[c.scenario]; }
  std::string program_ = programPath();

 private:
  std::string stampDate() const { return imageStamp ? imageStamp->date : TL500_BUILD_DATE; }
  std::string stampTime() const { return imageStamp ? imageStamp->time : TL500_BUILD_TIME; }

  std::optional<std::string> expectedConsolePath(std::uint32_t scenario) const {
    if (options_.image.empty()) return scenarios_[scenario].expectedConsole;
    auto found = imageTranscripts_.find(scenario);
    if (found == imageTranscripts_.end()) return std::nullopt;
    return found->second;
  }

  std::vector<std::string> checkRun(const Case& c, const ChildResult& result) const {
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
        std::string expected = options_.image.empty() ? expandTranscript(*want, TL500_BUILD_DATE, TL500_BUILD_TIME) : *want;
        if (auto difference = compareTranscript(expected, *got)) {
          problems.push_back("the console log differs from " + *scenario.expectedConsole + ": " + *difference);
        }
      }
    }
    if (!problems.empty()) problems.back() += outputs("", err);
    return problems;
  }

  void checkStack(const ScenarioFile& scenario, const std::string& err, std::vector<std::string>& problems) const {
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
      problems.push_back("the stack's high-water mark " + std::to_string(highWater) +
                         " beats the static estimate of " + estimate[1].str() + " bytes (" + options_.stackReport +
                         "): the estimate is not an upper bound");
    }
  }

  static std::string match(const std::string& text, const std::regex& pattern, int group = 0) {
    std::smatch found;
    return std::regex_search(text, found, pattern) ? found[group].str() : std::string();
  }

  std::vector<std::string> checkEquivalence(const Case& c, const std::vector<ChildResult>& results) const {
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

  static void checkTraces(const std::string& with, const std::string& without, const ChildResult& result,
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
      problems.push_back("the trace of the run holds almost nothing (" + std::to_string(a->size()) +
                         " bytes): " + with);
    }
  }

  static std::string firstDifferentLines(const std::string& a, const std::string& b) {
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
    return "first difference at line " + std::to_string(line) + ":\n--- with:\n" + lines(a) + "--- without:\n" +
           lines(b);
  }

  Options options_;
  std::vector<ScenarioFile> scenarios_;
  std::string workDir_;
  std::vector<Case> cases_;
  std::map<std::size_t, std::string> imageTranscripts_;
};

// The line at the bottom of a terminal that says how far the runs are.
class Progress {
 public:
  explicit Progress(std::size_t total) : on_(isatty(2) == 1), total_(total) {}

  void update(std::size_t done, std::size_t passed, std::size_t failed, const std::string& running) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100) && done != total_) return;
    last_ = now;
    winsize size{};
    std::size_t width = ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    std::string line = "[" + std::to_string(done) + "/" + std::to_string(total_) + "] " + std::to_string(passed) +
                       " passed, " + std::to_string(failed) + " failed" + (running.empty() ? "" : "; " + running);
    if (line.size() >= width) line.resize(width - 1);
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    shown_ = true;
  }

  void clear() {
    if (!on_ || !shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  bool on_;
  std::size_t total_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// The scenario files the paths name, in order, each once.
std::optional<std::vector<std::string>> selectFiles(const std::vector<std::string>& paths, std::string& error) {
  std::vector<std::string> files;
  std::set<std::string> seen;
  auto add = [&](const fs::path& file) {
    std::error_code ignored;
    std::string key = fs::weakly_canonical(file, ignored).string();
    if (seen.insert(key).second) files.push_back(file.string());
  };
  for (const auto& path : paths) {
    std::error_code code;
    auto status = fs::status(path, code);
    if (code || !fs::exists(status)) {
      error = "no such file or folder: " + path;
      return std::nullopt;
    }
    if (fs::is_directory(status)) {
      std::vector<fs::path> found;
      for (const auto& entry : fs::directory_iterator(path, code)) {
        std::error_code ignored;
        if (entry.path().extension() == ".tlscript" && entry.is_regular_file(ignored)) found.push_back(entry.path());
      }
      if (code) {
        error = "cannot read the folder " + path + ": " + code.message();
        return std::nullopt;
      }
      std::sort(found.begin(), found.end());
      for (const auto& file : found) add(file);
    } else {
      add(path);
    }
  }
  return files;
}

std::string nowIso() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

bool writeJunit(std::FILE* file, const Runner& runner, const std::vector<Case>& cases,
                const std::vector<Failure>& failures, double seconds) {
  std::size_t tests = 0, failed = 0;
  for (const auto& c : cases) {
    if (!c.finished) continue;
    ++tests;
    if (c.failed) ++failed;
  }
  std::string suite = runner.variantName();
  std::fprintf(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  std::fprintf(file, "<testsuites name=\"tl500-sim test\" tests=\"%zu\" failures=\"%zu\" errors=\"0\" time=\"%.3f\">\n",
               tests, failed, seconds);
  std::fprintf(file,
               "  <testsuite name=\"%s\" tests=\"%zu\" failures=\"%zu\" errors=\"0\" skipped=\"0\" time=\"%.3f\" "
               "timestamp=\"%s\">\n",
               suite.c_str(), tests, failed, seconds, nowIso().c_str());
  for (const auto& c : cases) {
    if (!c.finished) continue;
    std::fprintf(file, "    <testcase classname=\"%s\" name=\"%s\" file=\"%s\" time=\"%.3f\"", xmlText(suite).c_str(),
                 xmlText(runner.label(c)).c_str(), xmlText(runner.scenario(c).path).c_str(), c.seconds);
    if (!c.failed) {
      std::fprintf(file, "/>\n");
      continue;
    }
    const Failure& failure = failures[c.report];
    std::fprintf(file, ">\n      <failure message=\"%s\" type=\"scenario failed\">%s</failure>\n    </testcase>\n",
                 xmlText(failure.message).c_str(), xmlText(failure.text).c_str());
  }
  std::fprintf(file, "  </testsuite>\n</testsuites>\n");
  return std::fflush(file) == 0 && !std::ferror(file);
}

}  // namespace

int runScenarioTests(int argc, char** argv) {
  Options options;
  CLI::App app{kDescription, "tl500-sim test"};
  app.get_formatter()->column_width(30);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_help_flag("-h,--help", "show this help and exit");
  app.add_option("paths", options.paths, "scenario files, and folders of *.tlscript files")->type_name("FILE|DIR");
  app.add_option("-j,--jobs", options.jobs, "runs at once (default: the number of cores)")->type_name("N");
  app.add_option("--seeds", options.seeds,
                 "run each scenario under each timing seed from A to B (or only N): tl500-sim --timing-seed")
      ->type_name("A..B");
  app.add_option("--shard", options.shard,
                 "run only the K-th of N disjoint slices of the scenarios and seeds (K from 1 to N); a scenario "
                 "and seed always fall in the same slice")
      ->type_name("K/N");
  app.add_option("--junit", options.junit,
                 "write the results as JUnit XML to FILE: one testcase per scenario and seed, a failure's message "
                 "and the command that reproduces it inside")
      ->type_name("FILE");
  app.add_option("--image", options.image,
                 "run the board image FILE on the emulated core (tl500-sim --image) instead of the built-in "
                 "firmware, with the stack's high-water mark checked")
      ->type_name("FILE");
  app.add_option("--stack-report", options.stackReport,
                 "with --image: the target build's stack report; the high-water mark must not beat its worst case")
      ->type_name("FILE");
  app.add_flag("--compare-poll-skipping", options.comparePollSkipping,
               "run each scenario with and without poll skipping (--no-poll-skip) and require the same exit "
               "status, virtual time, console, ZigBee and I2C logs, polls and pin trace, edge for edge, instead "
               "of checking its expected outcome");
  app.add_option("--timeout", options.timeout, "wall-clock limit of each run in seconds (default 300)")
      ->type_name("SECONDS");
  app.add_option("--work-dir", options.workDir,
                 "put the runs' logs and outputs into DIR (default: a new folder under $TMPDIR, removed when "
                 "all passed); a failed run's files are kept")
      ->type_name("DIR");
  app.add_flag("--keep-logs", options.keepLogs, "keep the files of passed runs as well");
  app.add_flag("-v,--verbose", options.verbose, "a line for every run that passed, too");
  app.footer(kFooter);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usageError(e.what());
  }

  if (options.paths.empty()) return usageError("name the scenario files or folders to run");
  if (options.jobs == 0) {
    if (app.count("--jobs") != 0) return usageError("--jobs takes a number of runs from 1");
    options.jobs = coreCount();
  }
  if (!(options.timeout > 0 && options.timeout <= 1e6)) return usageError("--timeout takes seconds from 0 to 1000000");
  std::optional<SeedRange> seeds;
  if (!options.seeds.empty()) {
    seeds = parseSeeds(options.seeds);
    if (!seeds) return usageError("--seeds takes A..B (whole numbers, A <= B) or N, not " + options.seeds);
    // Every seed is looked at to find its shard: a range beyond this would
    // keep the runner busy before the first run.
    if (seeds->count > kMaxSeeds) {
      return usageError("--seeds spans at most " + std::to_string(kMaxSeeds) + " seeds in one run, not " +
                        std::to_string(seeds->count) + "; sweep in parts");
    }
  }
  Shard shard;
  if (!options.shard.empty()) {
    auto parsed = parseShard(options.shard);
    if (!parsed) return usageError("--shard takes K/N with 1 <= K <= N, not " + options.shard);
    shard = *parsed;
  }
  if (!options.stackReport.empty() && options.image.empty()) return usageError("--stack-report needs --image");

  std::optional<BuildStamp> stamp;
  if (!options.image.empty()) {
    std::error_code error;
    if (!fs::is_regular_file(options.image, error)) {
      return usageError("no board image at " + options.image +
                        " (build the target preset first: cmake --preset target && cmake --build --preset target)");
    }
    options.image = fs::absolute(options.image, error).lexically_normal().string();
    std::ifstream in(options.image, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    stamp = findBuildStamp(bytes);
  }

  std::string error;
  auto files = selectFiles(options.paths, error);
  if (!files) return usageError(error);
  if (files->empty()) return usageError("no scenario files (*.tlscript) in the selection");
  std::vector<ScenarioFile> scenarios;
  std::map<std::string, std::string> names;
  for (const auto& file : *files) {
    try {
      scenarios.push_back(readScenarioFile(file));
    } catch (const std::runtime_error& e) {
      return usageError(e.what());
    }
    auto [at, added] = names.emplace(scenarios.back().name, file);
    if (!added) return usageError("two scenarios are named " + at->first + ": " + at->second + " and " + file);
  }

  std::vector<Case> cases;
  std::uint64_t seedCount = seeds ? seeds->count : 1;
  for (std::uint32_t s = 0; s < scenarios.size(); ++s) {
    for (std::uint64_t i = 0; i < seedCount; ++i) {
      Case c;
      c.scenario = s;
      c.hasSeed = seeds.has_value();
      c.seed = seeds ? seeds->first + i : 0;
      std::optional<std::uint64_t> seed;
      if (c.hasSeed) seed = c.seed;
      if (shardKey(scenarios[s].name, seed) % shard.count != shard.index) continue;
      if (cases.size() >= kMaxCases) {
        return usageError("more than " + std::to_string(kMaxCases) + " runs selected: split the sweep with --shard");
      }
      cases.push_back(c);
    }
  }

  std::FILE* junit = nullptr;
  if (!options.junit.empty()) {
    junit = std::fopen(options.junit.c_str(), "w");
    if (junit == nullptr) return usageError("cannot write the JUnit file " + options.junit + ": " + std::strerror(errno));
  }
  struct CloseJunit {
    std::FILE*& file;
    ~CloseJunit() {
      if (file != nullptr) std::fclose(file);
    }
  } closeJunit{junit};

  bool ownWorkDir = options.workDir.empty();
  std::string workDir = options.workDir;
  if (ownWorkDir) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tl500-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      return usageError("cannot make a work folder " + pattern + ": " + std::strerror(errno));
    }
    workDir = pattern;
  } else {
    std::error_code code;
    fs::create_directories(workDir, code);
    if (code || !fs::is_directory(workDir)) return usageError("cannot use the work folder " + workDir);
    workDir = fs::absolute(workDir, code).lexically_normal().string();
    if (workDir.size() > 1 && workDir.back() == '/') workDir.pop_back();
  }

  auto started = std::chrono::steady_clock::now();
  Runner runner(options, std::move(scenarios), workDir);
  runner.imageStamp = stamp;
  if (!runner.prepareImageTranscripts()) return kExitUsage;

  std::vector<Failure> failures;
  std::size_t passed = 0, failed = 0, done = 0;
  std::size_t nextCase = 0;
  std::size_t nextRun = 0;  // of the case nextCase
  std::map<std::size_t, std::vector<ChildResult>> pending;
  std::set<std::uint32_t> keepTranscripts;
  Progress progress(cases.size());
  std::string lastStarted;

  auto finish = [&](std::size_t index) {
    Case& c = cases[index];
    std::vector<ChildResult> results = std::move(pending[index]);
    pending.erase(index);
    std::vector<std::string> problems = runner.check(c, results);
    c.finished = true;
    for (const auto& r : results) c.seconds += r.seconds;
    ++done;
    if (problems.empty()) {
      ++passed;
      if (!options.keepLogs) runner.removeFiles(c);
      if (options.verbose) {
        progress.clear();
        std::printf("ok   %s (%.2f s)\n", runner.label(c).c_str(), c.seconds);
        std::fflush(stdout);
      }
    } else {
      ++failed;
      c.failed = true;
      keepTranscripts.insert(c.scenario);
      Failure failure;
      failure.message = problems.front().substr(0, problems.front().find('\n'));
      for (const auto& problem : problems) failure.text += problem + "\n";
      failure.text += runner.reproduce(c) + "\nfiles: " + runner.plan(c, 0).base + ".*";
      if (options.comparePollSkipping) failure.text += ", " + runner.plan(c, 1).base + ".*";
      c.report = static_cast<std::uint32_t>(failures.size());
      progress.clear();
      if (failed <= kFullReports) {
        std::printf("FAIL %s (%s)\n%s\n", runner.label(c).c_str(), runner.variantName().c_str(),
                    indent(failure.text, "  ").c_str());
      } else {
        // A sweep where everything fails (a build that cannot run at all)
        // must not fill the disk and the memory with the same report.
        std::printf("FAIL %s (%s): %s\n", runner.label(c).c_str(), runner.variantName().c_str(),
                    failure.message.c_str());
        failure.text = failure.message + "\n" + runner.reproduce(c);
      }
      std::fflush(stdout);
      failures.push_back(std::move(failure));
    }
    progress.update(done, passed, failed, lastStarted);
  };

  // Cases whose header cannot be used fail without a run.
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!runner.scenario(cases[i]).headerError.empty()) {
      pending[i] = {};
      finish(i);
    }
  }

  ChildPool pool(runner.program_, options.jobs, options.timeout);
  int stoppedBy = pool.run(
      [&](ChildCommand& command, std::uint64_t& token) {
        while (nextCase < cases.size() && cases[nextCase].finished) ++nextCase;
        if (nextCase >= cases.size()) return false;
        Case& c = cases[nextCase];
        RunPlan p = runner.plan(c, static_cast<int>(nextRun));
        command.args = p.args;
        command.stdoutPath = p.out;
        command.stderrPath = p.err;
        token = nextCase * 2 + nextRun;
        if (nextRun == 0) {
          c.runsLeft = static_cast<std::uint8_t>(runner.runsPerCase());
          pending[nextCase].resize(runner.runsPerCase());
        }
        lastStarted = runner.label(c);
        if (++nextRun >= runner.runsPerCase()) {
          nextRun = 0;
          ++nextCase;
        }
        progress.update(done, passed, failed, lastStarted);
        return true;
      },
      [&](std::uint64_t token, const ChildResult& result) {
        std::size_t index = token / 2;
        pending[index][token % 2] = result;
        if (--cases[index].runsLeft == 0) finish(index);
      });
  progress.clear();

  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  int status = failed == 0 ? kExitOk : kExitFailed;
  if (stoppedBy != 0) {
    std::printf("interrupted by signal %d: %zu of %zu runs not finished\n", stoppedBy, cases.size() - done, cases.size());
    status = 128 + stoppedBy;
  }
  if (failed != 0) {
    std::printf("failed:\n");
    for (const auto& c : cases) {
      if (c.failed) std::printf("  %s\n", runner.label(c).c_str());
    }
  }
  if (cases.empty()) std::printf("this shard holds none of the %zu scenario(s) selected\n", names.size());
  if (junit != nullptr) {
    bool written = writeJunit(junit, runner, cases, failures, seconds);
    written = std::fclose(junit) == 0 && written;
    junit = nullptr;
    if (!written) {
      std::fprintf(stderr, "tl500-sim test: writing the JUnit file %s failed\n", options.junit.c_str());
      if (status == kExitOk) status = kExitUsage;
    }
  }
  if (!options.keepLogs) runner.removeTranscripts(keepTranscripts);
  if (failed != 0 || stoppedBy != 0) {
    std::printf("the failed runs' files are kept in %s\n", workDir.c_str());
  } else if (ownWorkDir && !options.keepLogs) {
    std::error_code ignored;
    fs::remove_all(workDir, ignored);
  } else if (ownWorkDir) {
    std::printf("the runs' files are in %s\n", workDir.c_str());
  }
  // The sweep's speed, for people and the benchmark: scenario runs (one per
  // scenario and seed; a comparison's two runs count once) per second of wall time.
  std::printf("%zu of %zu scenario runs in %.3f s of wall time (-j %u): %.2f per second\n", done, cases.size(),
              seconds, options.jobs, seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
  std::printf("%zu passed, %zu failed\n", passed, failed);
  if (std::fflush(stdout) != 0 && status == kExitOk) status = kExitUsage;
  return status;
}

}  // namespace sim
