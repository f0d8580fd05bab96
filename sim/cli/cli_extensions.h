// Command-line options that parts of tl500-sim add for themselves, each with
// one registration in its own file under sim/cli/:
//
//   namespace {
//   std::string g_zigbeeLog;
//   const sim::CliOptionRegistration kZigbeeLog{{
//       .declare = [](CLI::App& app) {
//         app.add_option("--zigbee-log", g_zigbeeLog, "write every byte on the ZigBee line to FILE");
//       },
//       .apply = [](sim::CliRun& run) {
//         if (!g_zigbeeLog.empty()) { std::FILE* f = run.files.openOutput("the ZigBee log", g_zigbeeLog); ... }
//       },
//   }};
//   }  // namespace
//
// `configure`, when given, runs first and sets what the board is built with.
// `apply` runs once the board exists, before the firmware starts; it throws
// std::runtime_error for a usage error (exit status 2). What it makes for the
// run it hands to `run.keep` (released before the board goes), and what must
// happen when the firmware starts or once it has ended it adds to
// `run.atStart` and `run.atEnd`. `helpSection`, when given, adds a section to
// the end of --help.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "exit_status.h"
#include "run_files.h"
#include "sim/board.h"
#include "sim/core/stop.h"

namespace sim {

// What an option says about the run once the firmware has ended.
struct CliEndStatus {
  OptionFinding finding = OptionFinding::None;  // None when all went well
  bool endedRun = false;                        // the run's end was this option's doing: it speaks for the run
};

struct CliRun {
  Board& board;
  RunFiles& files;  // open every output through it: writes are checked, clashes refused
  // Objects an option made for this run; released in reverse order before the board.
  std::vector<std::shared_ptr<void>> keep;
  // Called just before the firmware starts, in order.
  std::vector<std::function<void()>> atStart;
  // Called once the firmware has ended, in order, with how the run ended
  // (nullptr: main returned); each says on standard error what went wrong.
  std::vector<std::function<CliEndStatus(const Stop* stop)>> atEnd;
};

struct CliOptionEntry {
  void (*declare)(CLI::App& app) = nullptr;
  void (*apply)(CliRun& run) = nullptr;
  std::string (*helpSection)() = nullptr;
  // Before the board is built: what the option sets in its configuration.
  void (*configure)(BoardConfig& config) = nullptr;
};

class CliOptionRegistration {
 public:
  explicit CliOptionRegistration(CliOptionEntry entry) { entries().push_back(entry); }
  static std::vector<CliOptionEntry>& entries() {
    static std::vector<CliOptionEntry> list;
    return list;
  }
};

}  // namespace sim
