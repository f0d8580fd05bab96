#include "scenario_plan.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string_view>

namespace sim::scenarios {

namespace {

namespace fs = std::filesystem;

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

// "A..B" or "N".
std::optional<SeedRange> parseSeeds(const std::string& text) {
  std::size_t dots = text.find("..");
  auto first = parseNumber(dots == std::string::npos ? text : text.substr(0, dots));
  auto last = dots == std::string::npos ? first : parseNumber(text.substr(dots + 2));
  if (!first || !last || *last < *first) return std::nullopt;
  return SeedRange{*first, *last - *first + 1};
}

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

}  // namespace sim::scenarios
