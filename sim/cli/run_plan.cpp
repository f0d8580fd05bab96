#include "run_plan.h"

#include <cstdio>
#include <stdexcept>

#include "exit_status.h"
#include "sim/board_pins.h"
#include "sim/script/command_table.h"
#include "transcript.h"

namespace sim {

void say(const std::string& message) { std::fprintf(stderr, "tl500-sim: %s\n", message.c_str()); }

int usageError(const std::string& message) {
  std::fprintf(stderr, "tl500-sim: %s\nTry 'tl500-sim --help' for more information.\n", message.c_str());
  return exitStatus(RunEnd::Refused);
}

namespace {

std::optional<Time> parseMaxTime(const std::string& text, std::string& error) {
  Time t = 0;
  switch (parseDuration(text, t)) {
    case DurationError::None:
      if (t == 0) break;
      return t;
    case DurationError::TooLong:
      error = "--max-time " + shownWord(text) + " is too long (at most " + maxDurationText() + ")";
      return std::nullopt;
    case DurationError::NotADuration:
      break;
  }
  error = "--max-time takes a duration such as 10ms, 1.5s, 2min, not " + shownWord(text);
  return std::nullopt;
}

// "--set NAME=VALUE[,VALUE...]" as the script line "set NAME VALUE...";
// a pin name gives "set pin NAME VALUE".
std::string setLine(const std::string& assignment) {
  auto eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) return {};
  std::string name = assignment.substr(0, eq);
  std::string values = assignment.substr(eq + 1);
  for (char& c : values) {
    if (c == ',') c = ' ';
  }
  return "set " + std::string(findPin(name) ? "pin " : "") + name + " " + values;
}

}  // namespace

std::optional<RunPlan> makePlan(const CommandLine& options, RunFiles& files) {
  RunPlan plan;
  plan.started = std::chrono::steady_clock::now();
  try {
    if (!options.script.empty()) {
      plan.script = parseScript(files.readInput("the script", options.script), options.script);
    }
    if (!options.expectConsole.empty()) {
      plan.expectedConsole = expandTranscript(files.readInput("the expected console", options.expectConsole),
                                              TL500_BUILD_DATE, TL500_BUILD_TIME);
    }
    for (const auto& assignment : options.sets) {
      std::string line = setLine(assignment);
      if (line.empty()) {
        usageError("--set takes NAME=VALUE, not " + shownWord(assignment));
        return std::nullopt;
      }
      auto parsed = parseScriptLine(line, "--set " + shownSource(assignment), 0);
      if (!parsed || !parsed->entry->monitor) {
        usageError("--set " + shownWord(assignment) + " sets nothing");
        return std::nullopt;
      }
      plan.atPowerOn.push_back(std::move(*parsed));
    }
    if (!options.image.empty()) {
      files.addInput("the board image", options.image);
      plan.image = loadImage(options.image);
    }
  } catch (const ScriptError& e) {
    say(e.what());
    return std::nullopt;
  } catch (const std::runtime_error& e) {
    say(e.what());
    return std::nullopt;
  }
  if (!options.maxTime.empty()) {
    std::string error;
    plan.maxTime = parseMaxTime(options.maxTime, error);
    if (!plan.maxTime) {
      usageError(error);
      return std::nullopt;
    }
  }
  plan.live.console = options.console;
  plan.live.waitAttach = options.waitAttach;
  plan.live.linger = options.linger;
  plan.live.panel = !options.noPanel;
  if (!plan.script) {
    std::string error;
    if (!LiveSession::checkConfig(plan.live, error)) {
      usageError(error);
      return std::nullopt;
    }
  }
  return plan;
}

}  // namespace sim
