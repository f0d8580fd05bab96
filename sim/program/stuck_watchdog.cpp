#include "stuck_watchdog.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

#include "../core/held_time.h"

namespace sim {

namespace {

constexpr int kStopSignal = SIGUSR2;
constexpr int kMaxFrames = 32;

// Where the firmware's thread stood when the watchdog stopped it. Written by
// the signal handler on that thread, read by the watchdog's thread once
// `captured` is set.
struct Capture {
  void* pc = nullptr;
  void* frames[kMaxFrames] = {};
  int depth = 0;
  std::atomic<bool> captured{false};
};
Capture g_capture;
std::atomic<bool> g_watching{false};
pthread_t g_firmwareThread;

void onStopSignal(int, siginfo_t*, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  g_capture.pc = reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  g_capture.pc = reinterpret_cast<void*>(uc->uc_mcontext.pc);
#else
  (void)uc;
#endif
  g_capture.depth = backtrace(g_capture.frames, kMaxFrames);
  g_capture.captured.store(true);
  for (;;) pause();  // the watchdog's thread ends the program
}

// The function containing `address`, demangled; empty when it has no name the
// dynamic symbol table knows.
std::string functionAt(void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_sname == nullptr) return {};
  int status = 0;
  char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
  std::free(demangled);
  return name;
}

}  // namespace

std::chrono::milliseconds StuckWatchdog::configuredLimit() {
  const char* text = std::getenv("TL500_SIM_STUCK_LIMIT_MS");
  if (text == nullptr || *text == '\0') return kDefaultLimit;
  char* end = nullptr;
  errno = 0;
  unsigned long ms = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || *text == '-' || ms == 0 || ms > 600'000) return kDefaultLimit;
  return std::chrono::milliseconds(ms);
}

StuckWatchdog::StuckWatchdog(const Clock& clock, std::chrono::milliseconds limit, std::function<void()> lastWords,
                             int exitStatus)
    : clock_(clock), limit_(limit), lastWords_(std::move(lastWords)), exitStatus_(exitStatus) {
  if (g_watching.exchange(true)) throw std::logic_error("a stuck-firmware watchdog runs already");
  g_firmwareThread = pthread_self();
  if (pthread_getcpuclockid(g_firmwareThread, &firmwareCpuClock_) != 0) firmwareCpuClock_ = CLOCK_MONOTONIC;
  g_capture.captured.store(false);
  struct sigaction action {};
  action.sa_sigaction = onStopSignal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(kStopSignal, &action, nullptr);
  // A thread of the C library's own, not std::thread: std::thread hands the
  // new thread a block to free, and a thread's first free sets up a heap of
  // its own (a large mapping and its unmapping) in every run, for a watchdog
  // that normally never allocates. Its stack is small for the same reason.
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackBytes);
  const int failed = pthread_create(&thread_, &attributes, &StuckWatchdog::threadMain, this);
  pthread_attr_destroy(&attributes);
  if (failed != 0) {
    signal(kStopSignal, SIG_DFL);
    g_watching.store(false);
    throw std::system_error(failed, std::generic_category(), "cannot start the stuck-firmware watchdog");
  }
}

StuckWatchdog::~StuckWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  pthread_join(thread_, nullptr);
  signal(kStopSignal, SIG_DFL);
  g_watching.store(false);
}

void* StuckWatchdog::threadMain(void* self) {
  static_cast<StuckWatchdog*>(self)->watch();
  return nullptr;
}

void StuckWatchdog::watch() {
  const auto tick =
      limit_ / kTicksPerLimit > std::chrono::milliseconds(1) ? limit_ / kTicksPerLimit : std::chrono::milliseconds(1);
  Time last = clock_.progress();
  std::uint64_t holdChanges = HeldTime::changes();
  // What counts is the firmware thread's own processor time while virtual
  // time stands: a loop that is stuck spends it, while a thread the machine
  // does not run (a loaded machine, a suspended process) spends none and is
  // not taken for a stuck one.
  std::chrono::nanoseconds cpu = firmwareCpuTime();
  std::chrono::nanoseconds still{0};
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, tick, [this] { return quit_; })) {
    Time now = clock_.progress();
    std::chrono::nanoseconds cpuNow = firmwareCpuTime();
    // A hold that came and went between two ticks still breaks the count.
    std::uint64_t changes = HeldTime::changes();
    bool held = HeldTime::active() != 0 || changes != holdChanges;
    still = now == last && !held ? still + (cpuNow - cpu) : std::chrono::nanoseconds{0};
    last = now;
    cpu = cpuNow;
    holdChanges = changes;
    if (still >= limit_) endRun();
  }
}

std::chrono::nanoseconds StuckWatchdog::firmwareCpuTime() const {
  timespec t{};
  if (clock_gettime(firmwareCpuClock_, &t) != 0) return std::chrono::nanoseconds{0};
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

void StuckWatchdog::endRun() {
  // The unwinder is loaded here, on this thread, not in the signal handler
  // (loading a library there is not safe) and not in runs that never stop.
  void* warmUp[1];
  (void)backtrace(warmUp, 1);
  pthread_kill(g_firmwareThread, kStopSignal);
  for (int i = 0; i < 1000 && !g_capture.captured.load(); ++i) usleep(1000);

  std::string where = functionAt(g_capture.pc);
  std::string callers;
  int named = 0;
  bool pastPc = false;
  for (int i = 0; i < g_capture.depth && named < 4; ++i) {
    // Frames up to the interrupted function belong to the signal's delivery.
    if (g_capture.frames[i] == g_capture.pc) {
      pastPc = true;
      continue;
    }
    if (!pastPc) continue;
    std::string name = functionAt(g_capture.frames[i]);
    if (name.empty()) continue;
    callers += "\n  called from " + name;
    ++named;
  }
  if (lastWords_) lastWords_();
  double limitSeconds = std::chrono::duration<double>(limit_).count();
  std::fprintf(
      stderr,
      "tl500-sim: the firmware is stuck: no virtual time has passed in %.1f s of its processor time (at %s); it loops "
      "without a register access or an idle hint in %s%s\n",
      limitSeconds, formatTime(clock_.progress()).c_str(),
      where.empty() ? "a function without an exported name" : where.c_str(), callers.c_str());
  std::fflush(stderr);
  _exit(exitStatus_);
}

}  // namespace sim
