// The board panel of an interactive run: one line kept at the bottom of the
// operator's terminal while the console output scrolls above it, showing what
// one would see looking at the board: the three LEDs lit or dark, the four
// actuator outputs steady or blinking, the ZigBee module's reset line, the PIR
// line, and the virtual time.
//
// The console scrolls in a scroll region that ends one row above the panel;
// the panel is redrawn with the cursor saved and restored around it. Console
// bytes and panel updates are written from the same thread, each whole, so
// neither cuts into the other.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../board.h"

namespace sim {

enum class OutputState : std::uint8_t { Off, On, Blinking };

// What the panel shows.
struct PanelState {
  std::array<bool, 3> ledLit{};                    // LED1-LED3 (PC7-PC9, lit while low)
  std::array<OutputState, 4> outputs{};            // actuator outputs 1-4 (PA4-PA7)
  Level zigbeeReset = Level::Low;                  // PA8: low holds the module in reset
  Level pir = Level::Low;                          // PH2
  Time now = 0;
  // The live pace: "realtime", "x10", "max", "paused"; empty outside a live
  // run (then neither it nor the ratio is shown).
  std::string speed;
  double ratio = 0;  // virtual seconds per wall second, as measured
};

// The board's state as the panel and the web page show it, from one place:
// levels read from the board, blinking told from the outputs' last changes.
class PanelSource {
 public:
  // An output that changed level twice within this long is shown blinking (the
  // blink interrupt inverts an output every 0.9375 s).
  static constexpr Time kBlinkWindow = seconds(2);

  explicit PanelSource(Board& board);
  PanelSource(const PanelSource&) = delete;
  PanelSource& operator=(const PanelSource&) = delete;

  PanelState state() const;
  // Called after any shown level changed (on the board's thread).
  void onChange(std::function<void()> listener) { listeners_.push_back(std::move(listener)); }

 private:
  void levelChanged(PinName pin);

  Board& board_;
  std::array<std::array<Time, 2>, 4> outputChanges_{};  // last two changes of each output
  std::array<unsigned, 4> outputChangeCount_{};
  std::vector<std::function<void()>> listeners_;
  std::vector<Subscription> subscriptions_;
};

// The panel as one line of plain text, at most `width` characters (0: no limit).
std::string renderPanel(const PanelState& state, std::size_t width = 0);

class BoardPanel {
 public:
  // How often the virtual time on the panel moves on without a level change.
  static constexpr Time kRefresh = milliseconds(100);

  // At most this many redraws per wall second, however fast the board runs.
  static constexpr std::chrono::milliseconds kMinRedraw{33};

  // `fd` is the operator's terminal; `source` outlives the panel.
  BoardPanel(Board& board, int fd, PanelSource& source);
  ~BoardPanel();
  BoardPanel(const BoardPanel&) = delete;
  BoardPanel& operator=(const BoardPanel&) = delete;

  // Reserves the bottom row and shows the panel; false when the terminal is too
  // small or unknown (the panel then stays off).
  bool start();
  // Gives the bottom row back to the console; safe to call more than once.
  void restore();

  PanelState state() const { return source_.state(); }

 private:
  void draw(bool force);
  void refresh();
  bool setRegion();
  std::string onPanelRow() const;

  Board& board_;
  PanelSource& source_;
  int fd_;
  bool active_ = false;
  unsigned rows_ = 0, columns_ = 0;
  std::string shown_;
  std::chrono::steady_clock::time_point drawnAt_{};
  Clock::EventId refreshEvent_ = 0;
};

}  // namespace sim
