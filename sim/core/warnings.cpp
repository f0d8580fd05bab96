#include "warnings.h"

#include <cstdio>
#include <set>

namespace sim {

namespace {
// The keys already warned about, and the sink, for the whole program: a
// warning is about the firmware, whichever board instance met it.
std::set<std::string>& given() {
  static std::set<std::string> keys;
  return keys;
}
std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> s;
  return s;
}
}  // namespace

void warnOnce(const std::string& key, const std::string& text) {
  if (!given().insert(key).second) return;
  std::string line = "tl500-sim: warning: " + text;
  if (sink()) {
    sink()(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

void setWarningSink(std::function<void(const std::string&)> s) { sink() = std::move(s); }

void forgetWarnings() { given().clear(); }

}  // namespace sim
