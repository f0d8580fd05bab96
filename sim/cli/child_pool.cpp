#include "child_pool.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// How long children told to end by SIGTERM get before SIGKILL.
constexpr auto kGraceAfterTerm = std::chrono::seconds(2);
// The longest sleep between looks at the deadlines.
constexpr auto kLongestWait = std::chrono::milliseconds(500);

struct Running {
  pid_t pid;
  std::uint64_t token;
  Clock::time_point start, deadline;
  bool killed = false;  // for outliving its limit
};

void noteChild(int) {}

timespec toTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// The signals the runner waits for: a child's end and the requests to stop.
sigset_t waitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  return set;
}

}  // namespace

std::string ChildResult::describe(double timeoutSeconds) const {
  char text[160];
  switch (end) {
    case End::Exited:
      std::snprintf(text, sizeof text, "exit status %d", status);
      break;
    case End::Signalled:
      std::snprintf(text, sizeof text, "killed by signal %d (%s)", status, strsignal(status));
      break;
    case End::TimedOut:
      std::snprintf(text, sizeof text, "still running after %g s of wall time: killed", timeoutSeconds);
      break;
    case End::NotStarted:
      return "could not be started: " + error;
  }
  return text;
}

ChildPool::ChildPool(std::string program, unsigned jobs, double timeoutSeconds)
    : program_(std::move(program)), jobs_(jobs == 0 ? 1 : jobs), timeoutSeconds_(timeoutSeconds) {}

int ChildPool::run(const std::function<bool(ChildCommand&, std::uint64_t&)>& next,
                   const std::function<void(std::uint64_t, const ChildResult&)>& done) {
  sigset_t waited = waitedSignals();
  sigset_t before;
  sigprocmask(SIG_BLOCK, &waited, &before);
  // With a handler, a blocked SIGCHLD stays pending for sigtimedwait.
  struct sigaction onChild {}, oldOnChild {};
  onChild.sa_handler = noteChild;
  sigemptyset(&onChild.sa_mask);
  onChild.sa_flags = SA_NOCLDSTOP;
  sigaction(SIGCHLD, &onChild, &oldOnChild);

  const pid_t parent = getpid();
  const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds_));
  std::vector<Running> running;
  bool exhausted = false;
  int stoppedBy = 0;

  auto start = [&](const ChildCommand& command, std::uint64_t token) {
    ChildResult failed;
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), command.args.begin(), command.args.end());
    std::vector<char*> cargv;
    for (auto& word : argv) cargv.push_back(word.data());
    cargv.push_back(nullptr);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(command.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(command.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || err < 0) {
      failed.error = std::string("cannot open its output files (") + command.stdoutPath + "): " + std::strerror(errno);
    } else {
      std::fflush(nullptr);
      pid_t pid = fork();
      if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        sigemptyset(&plain.sa_mask);
        for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(s, &plain, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv("/proc/self/exe", cargv.data());
        const char message[] = "tl500-sim test: cannot start the run\n";
        ssize_t unused = write(2, message, sizeof message - 1);
        (void)unused;
        _exit(127);
      }
      if (pid < 0) {
        failed.error = std::string("fork: ") + std::strerror(errno);
      } else {
        auto now = Clock::now();
        running.push_back(Running{pid, token, now, now + limit});
      }
    }
    for (int fd : {in, out, err}) {
      if (fd >= 0) close(fd);
    }
    if (!failed.error.empty()) done(token, failed);
  };

  auto reap = [&](bool report) {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      for (std::size_t i = 0; i < running.size(); ++i) {
        if (running[i].pid != pid) continue;
        Running ended = running[i];
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        if (!report) break;
        ChildResult result;
        result.seconds = std::chrono::duration<double>(Clock::now() - ended.start).count();
        if (ended.killed) {
          result.end = ChildResult::End::TimedOut;
        } else if (WIFEXITED(status)) {
          result.end = ChildResult::End::Exited;
          result.status = WEXITSTATUS(status);
        } else {
          result.end = ChildResult::End::Signalled;
          result.status = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
        done(ended.token, result);
        break;
      }
    }
  };

  while (true) {
    while (!exhausted && running.size() < jobs_) {
      ChildCommand command;
      std::uint64_t token = 0;
      if (!next(command, token)) {
        exhausted = true;
        break;
      }
      start(command, token);
    }
    if (running.empty()) break;
    auto now = Clock::now();
    auto wake = now + kLongestWait;
    for (const auto& child : running) {
      if (!child.killed && child.deadline < wake) wake = child.deadline;
    }
    timespec wait = toTimespec(wake - now);
    siginfo_t info;
    int got = sigtimedwait(&waited, &info, &wait);
    if (got == SIGINT || got == SIGTERM || got == SIGHUP) {
      stoppedBy = got;
      break;
    }
    reap(true);
    now = Clock::now();
    for (auto& child : running) {
      if (!child.killed && now >= child.deadline) {
        kill(child.pid, SIGKILL);
        child.killed = true;
      }
    }
  }

  if (stoppedBy != 0) {
    for (const auto& child : running) kill(child.pid, SIGTERM);
    auto giveUp = Clock::now() + kGraceAfterTerm;
    while (!running.empty()) {
      reap(false);
      if (running.empty()) break;
      if (Clock::now() >= giveUp) {
        for (const auto& child : running) kill(child.pid, SIGKILL);
        for (const auto& child : running) waitpid(child.pid, nullptr, 0);
        running.clear();
        break;
      }
      timespec pause = toTimespec(std::chrono::milliseconds(20));
      siginfo_t info;
      sigtimedwait(&waited, &info, &pause);
    }
  }

  sigaction(SIGCHLD, &oldOnChild, nullptr);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return stoppedBy;
}

}  // namespace sim
