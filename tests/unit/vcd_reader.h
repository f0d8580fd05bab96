// Reads back a Value Change Dump written by the virtual board: the signals by
// name and every change with its time, for tests that check edges.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct VcdEdge {
  std::uint64_t ps;  // the file's time in picoseconds, whatever its unit
  char value;
};

struct VcdFile {
  std::string timescale;
  std::map<std::string, std::string> codeOf;           // signal name -> identifier code
  std::map<std::string, std::vector<VcdEdge>> changes;  // identifier code -> values in file order
  std::vector<std::uint64_t> stamps;                    // every timestamp in file order, in picoseconds
  std::uint64_t unitPs = 1;                             // the timescale in picoseconds

  const std::vector<VcdEdge>& of(const std::string& name) { return changes[codeOf.at(name)]; }
};

inline VcdFile readVcd(const std::string& path) {
  VcdFile vcd;
  std::ifstream in(path);
  std::string line;
  std::uint64_t now = 0;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (header) {
      std::istringstream words(line);
      std::string first;
      words >> first;
      if (first == "$timescale") {
        words >> vcd.timescale;
        std::size_t digits = vcd.timescale.find_first_not_of("0123456789");
        std::string unit = vcd.timescale.substr(digits);
        vcd.unitPs = std::stoull(vcd.timescale.substr(0, digits)) *
                     (unit == "ns" ? 1'000ULL : unit == "us" ? 1'000'000ULL : unit == "ms" ? 1'000'000'000ULL : 1ULL);
      }
      if (first == "$var") {
        std::string type, width, code, name;
        words >> type >> width >> code >> name;
        vcd.codeOf[name] = code;
      }
      if (first == "$enddefinitions") header = false;
      continue;
    }
    if (line[0] == '#') {
      now = std::stoull(line.substr(1)) * vcd.unitPs;
      vcd.stamps.push_back(now);
    } else if (line[0] == '0' || line[0] == '1') {
      vcd.changes[line.substr(1)].push_back({now, line[0]});
    }
  }
  return vcd;
}
