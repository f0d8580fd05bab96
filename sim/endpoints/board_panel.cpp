#include "board_panel.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "live_pace.h"

namespace sim {

namespace {

constexpr PinName kLeds[3] = {{'C', 7}, {'C', 8}, {'C', 9}};
constexpr PinName kOutputs[4] = {{'A', 4}, {'A', 5}, {'A', 6}, {'A', 7}};
constexpr PinName kZigbeeReset{'A', 8};
constexpr PinName kPir{'H', 2};

// The panel must never need more than the last row: below this the console
// would have no room to scroll.
constexpr unsigned kMinRows = 4;

void writeAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t size = text.size();
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the terminal is gone; the run ends on its own
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

const char* outputWord(OutputState state) {
  switch (state) {
    case OutputState::Off:
      return "off  ";
    case OutputState::On:
      return "on   ";
    case OutputState::Blinking:
      return "blink";
  }
  return "?    ";
}

}  // namespace

std::string renderPanel(const PanelState& state, std::size_t width) {
  std::string line;
  for (unsigned i = 0; i < 3; ++i) {
    if (i != 0) line += ' ';
    line += "LED";
    line += std::to_string(i + 1);
    line += state.ledLit[i] ? " lit " : " dark";
  }
  line += " | ACT";
  for (OutputState output : state.outputs) {
    line += ' ';
    line += outputWord(output);
  }
  line += state.zigbeeReset == Level::Low ? " | ZB reset" : " | ZB run  ";
  line += state.pir == Level::High ? " | PIR high" : " | PIR low ";
  // The pace before the time, so the time stays the line's last field.
  if (!state.speed.empty()) {
    char ratio[48];
    std::snprintf(ratio, sizeof ratio, " | %s x%.1f", state.speed.c_str(), state.ratio);
    line += ratio;
  }
  char time[32];
  std::snprintf(time, sizeof time, " | %.3f s", toSeconds(state.now));
  line += time;
  if (width != 0 && line.size() > width) line.resize(width);
  return line;
}

PanelSource::PanelSource(Board& board) : board_(board) {
  std::vector<PinName> shown(std::begin(kLeds), std::end(kLeds));
  shown.insert(shown.end(), std::begin(kOutputs), std::end(kOutputs));
  shown.push_back(kZigbeeReset);
  shown.push_back(kPir);
  for (PinName pin : shown) {
    subscriptions_.push_back(board_.net(pin).onChange([this, pin](Level) { levelChanged(pin); }));
  }
}

PanelState PanelSource::state() const {
  PanelState state;
  Board& board = board_;
  Time now = board.clock().now();
  for (unsigned i = 0; i < 3; ++i) state.ledLit[i] = board.pinLevel(kLeds[i]) == Level::Low;
  for (unsigned i = 0; i < 4; ++i) {
    bool blinking = outputChangeCount_[i] >= 2 && now - outputChanges_[i][0] <= kBlinkWindow;
    state.outputs[i] = blinking                                       ? OutputState::Blinking
                       : board.pinLevel(kOutputs[i]) == Level::High ? OutputState::On
                                                                      : OutputState::Off;
  }
  state.zigbeeReset = board.pinLevel(kZigbeeReset);
  state.pir = board.pinLevel(kPir);
  state.now = now;
  const LivePace& pace = livePace();
  state.speed = pace.paused ? "paused" : speedName(pace.factor);
  state.ratio = pace.ratio;
  return state;
}

void PanelSource::levelChanged(PinName pin) {
  for (unsigned i = 0; i < 4; ++i) {
    if (pin != kOutputs[i]) continue;
    auto& changes = outputChanges_[i];
    changes[0] = changes[1];
    changes[1] = board_.clock().now();
    ++outputChangeCount_[i];
  }
  for (auto& listener : listeners_) listener();
}

BoardPanel::BoardPanel(Board& board, int fd, PanelSource& source) : board_(board), source_(source), fd_(fd) {
  source_.onChange([this] { draw(false); });
}

BoardPanel::~BoardPanel() {
  if (refreshEvent_ != 0 && Board::exists()) board_.clock().cancel(refreshEvent_);
  restore();
}

// Saves the cursor, moves to the panel's row and clears it.
std::string BoardPanel::onPanelRow() const {
  std::string text = "\x1b" "7\x1b[";
  text += std::to_string(rows_);
  text += ";1H\x1b[2K";
  return text;
}

bool BoardPanel::setRegion() {
  winsize size{};
  if (ioctl(fd_, TIOCGWINSZ, &size) != 0 || size.ws_row < kMinRows || size.ws_col == 0) return false;
  rows_ = size.ws_row;
  columns_ = size.ws_col;
  // Make room: a line feed and back up leaves the cursor where it was, unless
  // it was on the last row, which then scrolls up out of the panel's way. Then
  // the scroll region (which homes the cursor) between save and restore.
  std::string setup = "\n\x1b[1A\x1b" "7\x1b[1;";
  setup += std::to_string(rows_ - 1);
  setup += "r\x1b" "8";
  writeAll(fd_, setup);
  shown_.clear();
  return true;
}

bool BoardPanel::start() {
  if (active_) return true;
  if (!setRegion()) return false;
  active_ = true;
  draw(true);
  refreshEvent_ = board_.clock().after(kRefresh, [this] { refresh(); });
  return true;
}

void BoardPanel::refresh() {
  refreshEvent_ = 0;
  if (!active_) return;
  draw(false);
  refreshEvent_ = board_.clock().after(kRefresh, [this] { refresh(); });
}

void BoardPanel::draw(bool force) {
  if (!active_) return;
  winsize size{};
  if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && (size.ws_row != rows_ || size.ws_col != columns_)) {
    // The window was resized: the region and the panel's row move with it.
    if (!setRegion()) return;
    force = true;
  }
  // However fast the board runs, the terminal gets a few dozen lines a second;
  // the refresh event draws what a skipped change left.
  auto wallNow = std::chrono::steady_clock::now();
  if (!force && wallNow - drawnAt_ < kMinRedraw) return;
  std::string text = renderPanel(state(), columns_ > 1 ? columns_ - 1 : 1);
  if (!force && text == shown_) return;
  drawnAt_ = wallNow;
  shown_ = text;
  // Save the cursor, draw on the last row in reverse video, restore.
  writeAll(fd_, onPanelRow() + "\x1b[7m" + text + "\x1b[0m\x1b" "8");
}

void BoardPanel::restore() {
  if (!active_) return;
  active_ = false;
  // Clear the panel's row and give the whole screen back to scrolling.
  writeAll(fd_, onPanelRow() + "\x1b[r\x1b" "8");
}

}  // namespace sim
