// The files a tl500-sim run reads and writes.
//
// Every file is checked against the others before it is opened: an output
// that is the same file, pipe or terminal as the script or another output
// (same device and inode, whatever names reach it; "-" is standard output's)
// is refused, so a slip on the command line cannot overwrite the
// script. Every write is checked: a run whose log could not be written fails,
// whatever the firmware did.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class RunFiles {
 public:
  // Largest input read whole (a script, an expected transcript).
  static constexpr std::size_t kMaxInputBytes = 16u << 20;

  RunFiles() = default;
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;
  ~RunFiles();

  // Notes a file the run reads; throws std::runtime_error when it is the same
  // file as one already noted.
  void addInput(const std::string& role, const std::string& path);
  // Reads a whole regular file of at most kMaxInputBytes (noting it as an input).
  std::string readInput(const std::string& role, const std::string& path);
  // Opens an output file ("-": standard output), truncating it; throws
  // std::runtime_error when it cannot, or when it is a file already in use.
  std::FILE* openOutput(const std::string& role, const std::string& path);
  // Checks an output that another part of the run opens and writes itself
  // (the trace): it is created now if missing, refused when it is a directory
  // or a file already in use, and later outputs are checked against it.
  void claimOutput(const std::string& role, const std::string& path);

  // A write to `file` failed during the run, for the reason `error` (an errno
  // value): the message at its close gives that reason.
  void writeFailed(std::FILE* file, int error);

  // Flushes and closes every output; one message per output whose writing
  // failed (empty when all went well).
  std::vector<std::string> closeOutputs();
  // Writes out what every open output holds (the stuck-firmware watchdog's
  // last words, from its own thread while the firmware's thread spins).
  void flushOutputs();

 private:
  struct Entry {
    std::string role, path;
    dev_t device = 0;
    ino_t inode = 0;
    bool regular = false;
    bool known = false;  // device and inode were found
    std::FILE* file = nullptr;
    bool owned = false;
    int error = 0;  // of the first write that failed
  };
  void checkDistinct(const Entry& entry) const;
  static void noteIdentity(Entry& entry, const struct stat& st);
  static bool sharable(const Entry& entry);

  std::vector<Entry> entries_;
};

}  // namespace sim
