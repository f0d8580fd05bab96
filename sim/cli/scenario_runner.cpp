#include "scenario_runner.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "child_pool.h"
#include "command_line.h"
#include "scenario_file.h"
#include "scenario_plan.h"
#include "scenario_report.h"
#include "scenario_runs.h"

namespace sim {

namespace {

using namespace scenarios;
namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Cases of one invocation: beyond this a sweep is split with --shard.
constexpr std::uint64_t kMaxCases = 1000000;
constexpr std::uint64_t kMaxSeeds = 10000000;
// Failures reported in full; later ones get a line each (and their
// message and reproduce command in the JUnit file).
constexpr std::size_t kFullReports = 100;

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

int usageError(const std::string& message) {
  std::fprintf(stderr, "tl500-sim test: %s\nTry 'tl500-sim test --help' for more information.\n", message.c_str());
  return kExitUsage;
}

}  // namespace

int runScenarioTests(int argc, char** argv) {
  Options options;
  CLI::App app{kDescription, "tl500-sim test"};
  setUpCommand(app);
  app.add_option("paths", options.paths, "scenario files, and folders of *.tlscript files")->type_name("FILE|DIR");
  app.add_option("-j,--jobs", options.jobs, "runs at once (default: the number of cores)")->type_name("N");
  app.add_option("--seeds", options.seeds,
                 "run each scenario under each timing seed from A to B (or only N): tl500-sim --timing-seed")
      ->type_name("A..B");
  app.add_option("--shard", options.shard,
                 "run only the K-th of N disjoint slices of the scenarios and seeds (K from 1 to N); a scenario "
                 "and seed always fall in the same slice")
      ->type_name("K/N");
  addFileOption(app, "--junit", options.junit,
                "write the results as JUnit XML to FILE: one testcase per scenario and seed, a failure's message "
                "and the command that reproduces it inside");
  addFileOption(app, "--image", options.image,
                "run the board image FILE on the emulated core (tl500-sim --image) instead of the built-in "
                "firmware, with the stack's high-water mark checked");
  addFileOption(app, "--stack-report", options.stackReport,
                "with --image: the target build's stack report; the high-water mark must not beat its worst case");
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
  if (auto status = parseCommandLine(app, argc, argv, usageError)) return *status;

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
  ScenarioRuns runner(options, std::move(scenarios), workDir);
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
