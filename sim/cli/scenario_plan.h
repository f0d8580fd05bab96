// What `tl500-sim test` is asked to run: its options, the scenario files a
// selection names, and the cases (one scenario under one timing seed) of the
// selected shard.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::scenarios {

constexpr double kDefaultTimeout = 300;

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

struct SeedRange {
  std::uint64_t first = 0, count = 0;
};

// "A..B" or "N".
std::optional<SeedRange> parseSeeds(const std::string& text);

struct Shard {
  std::uint64_t index = 0, count = 1;  // index from 0
};

// "K/N", 1 <= K <= N.
std::optional<Shard> parseShard(const std::string& text);

// The shard of a scenario and seed depends on nothing else: a hash of both.
std::uint64_t shardKey(const std::string& name, std::optional<std::uint64_t> seed);

// The scenario files the paths name, in order, each once; nullopt with
// `error` for a path that names nothing readable.
std::optional<std::vector<std::string>> selectFiles(const std::vector<std::string>& paths, std::string& error);

// This program, to start the runs with.
std::string programPath();
// The cores this process may run on: the default number of runs at once.
unsigned coreCount();

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

}  // namespace sim::scenarios
