// The console port of the virtual board attached to something live: the
// operator's own terminal (raw mode, Ctrl-] ends the run), a new
// pseudo-terminal that a serial terminal program opens as it would a USB serial
// adapter, or plain standard input and output (piped keys).
//
// Virtual time follows the wall clock here, at the live pace (real time, a
// factor of it, or unpaced): a periodic event on the board's clock sleeps until
// the wall clock has caught up, and passes whatever arrived from outside to the
// console line. While the run is paused the event holds time where it is.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "../board.h"
#include "../core/listeners.h"

namespace sim {

class TerminalEndpoint {
 public:
  enum class Mode {
    Terminal,  // standard input is a terminal: raw mode, Ctrl-] ends the run
    Pty,       // a new pseudo-terminal; its path is ptyPath()
    Stream,    // standard input is a pipe or file: its bytes are the keys
  };
  // Virtual interval between two looks at the wall clock and the input.
  static constexpr Time kTick = milliseconds(1);
  // Ends an interactive run typed on the terminal (Ctrl-]).
  static constexpr unsigned char kQuitKey = 0x1D;
  // A run more than this behind the wall clock (a slow host, a suspended
  // process) gives up catching up instead of racing.
  static constexpr std::chrono::milliseconds kMaxLag{100};
  // At speed max, the run goes at real time for this long after a key, so a
  // menu answers at the pace a person types.
  static constexpr std::chrono::milliseconds kTypingWindow{1000};
  // How often the measured ratio of virtual to wall time is renewed.
  static constexpr std::chrono::milliseconds kRatioWindow{500};

  // Sets the terminal up (raw mode) or opens the pseudo-terminal; throws
  // std::runtime_error when that is not possible.
  TerminalEndpoint(Board& board, Mode mode);
  ~TerminalEndpoint();
  TerminalEndpoint(const TerminalEndpoint&) = delete;
  TerminalEndpoint& operator=(const TerminalEndpoint&) = delete;

  Mode mode() const { return mode_; }
  const std::string& ptyPath() const { return ptyPath_; }

  // What Ctrl-] does: without a monitor it ends the run; with one, the
  // monitor runs on that terminal (reading `inFd`, answering on `outFd`) with
  // virtual time standing still, and the run goes on when it returns. In Pty
  // mode, when tl500-sim's own standard input is a terminal, Ctrl-] typed
  // there opens the monitor.
  void setMonitor(std::function<void(int inFd, int outFd)> monitor);
  // Pty mode: true when tl500-sim's own terminal takes Ctrl-] for the monitor.
  bool hasControlTerminal() const { return controlFd_ >= 0; }

  // Pty mode: blocks until a program opens the pseudo-terminal. A signal
  // meanwhile throws Stop(UserQuit).
  void waitForAttach();
  // Pty mode: keeps the pseudo-terminal open, taking and dropping whatever is
  // typed, until a signal.
  void linger();

  // Piped keys (Stream mode) still unread in standard input, read and counted
  // now that the run is over (at most kMaxCountedKeys); 0 in other modes.
  static constexpr std::size_t kMaxCountedKeys = 1u << 20;
  std::size_t unreadKeys();

  // Starts pacing and the exchange of bytes from the current virtual time.
  void start();
  // Puts the terminal back as it was; safe to call more than once.
  void restore();

  // SIGINT, SIGTERM and SIGHUP end the run through Stop(UserQuit) at the next
  // tick instead of killing the process, so the terminal is restored.
  static void catchSignals();
  // For a scripted run, which has no tick: the signals also set `wake` (the
  // clock's stop request), and SIGPIPE, a closed standard output, ends the
  // run as they do.
  static void catchSignals(std::atomic<bool>& wake);
  // The signal that ended the run (SIGINT, SIGTERM, SIGHUP), 0 when none did.
  static int endingSignal();
  // Ends the run (Stop(UserQuit), the signal recorded) if a signal has come.
  static void endIfSignalled();

 private:
  void tick();
  void holdWhilePaused();
  void measureRatio(std::chrono::steady_clock::time_point wallNow);
  void readInput(int timeoutMicros);
  void fromBoard(std::uint8_t byte);
  void openMonitor(int inFd, int outFd);
  void pollControlTerminal();
  [[noreturn]] static void endBySignal();

  Board& board_;
  Mode mode_;
  int inFd_ = 0, outFd_ = 1;
  int ptyMaster_ = -1, ptySlave_ = -1;
  std::string ptyPath_;
  bool rawSet_ = false;
  termios saved_{};
  int controlFd_ = -1;  // tl500-sim's own terminal in Pty mode
  termios controlSaved_{};
  std::function<void(int, int)> monitor_;
  bool inputOpen_ = true;
  bool started_ = false;
  Time virtualStart_ = 0;
  std::chrono::steady_clock::time_point wallStart_{};
  unsigned paceGeneration_ = 0;
  double pacedFactor_ = 1.0;
  Time ratioVirtual_ = 0;
  std::chrono::steady_clock::time_point ratioWall_{};
  Clock::EventId tickEvent_ = 0;
  Subscription consoleBytes_;
};

}  // namespace sim
