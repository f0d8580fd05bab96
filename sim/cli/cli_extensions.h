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
// `apply` runs once the board exists, before the firmware starts; it throws
// std::runtime_error for a usage error (exit status 2).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

#include "run_files.h"
#include "sim/board.h"

namespace sim {

struct CliRun {
  Board& board;
  RunFiles& files;  // open every output through it: writes are checked, clashes refused
};

struct CliOptionEntry {
  void (*declare)(CLI::App& app) = nullptr;
  void (*apply)(CliRun& run) = nullptr;
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
