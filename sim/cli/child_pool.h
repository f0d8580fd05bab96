// Child processes of one program run side by side, a fixed number at a time,
// each with a wall-clock limit: what `tl500-sim test` runs its scenarios in.
//
// Standard input is /dev/null; standard output and error go to files. A child
// that outlives its limit is killed; one whose parent dies is killed by the
// kernel, so no run outlasts the runner. SIGINT, SIGTERM and SIGHUP to the
// runner end the running children first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct ChildCommand {
  std::vector<std::string> args;  // argv[1...]; argv[0] is the program
  std::string stdoutPath, stderrPath;
};

struct ChildResult {
  enum class End { Exited, Signalled, TimedOut, NotStarted };
  End end = End::NotStarted;
  int status = 0;  // the exit status (Exited) or the signal (Signalled)
  double seconds = 0;
  std::string error;  // why it did not start

  bool exitedWith(int expected) const { return end == End::Exited && status == expected; }
  bool operator==(const ChildResult& other) const { return end == other.end && status == other.status; }
  // "exit status 1", "killed by signal 11 (Segmentation fault)", ...
  std::string describe(double timeoutSeconds) const;
};

class ChildPool {
 public:
  ChildPool(std::string program, unsigned jobs, double timeoutSeconds);

  // Starts the commands `next` hands out (false: none left), at most `jobs`
  // at a time, and passes each result to `done` with the token `next` gave.
  // Returns 0 once all have ended, or the number of the signal that stopped
  // the runner; the children still running have then been ended.
  int run(const std::function<bool(ChildCommand& command, std::uint64_t& token)>& next,
          const std::function<void(std::uint64_t token, const ChildResult& result)>& done);

 private:
  std::string program_;
  unsigned jobs_;
  double timeoutSeconds_;
};

}  // namespace sim
