#include "trace_signals.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string trim(const std::string& text) {
  auto begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  auto end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// The group a line of the board belongs to, by its board name.
const char* groupOf(const std::string& name) {
  auto starts = [&](const char* prefix) { return name.rfind(prefix, 0) == 0; };
  if (starts("LED")) return "leds";
  if (starts("ACT")) return "actuators";
  if (starts("IN")) return "inputs";
  if (starts("DIP")) return "dip";
  if (name == "ZB_RESET") return "zigbee_reset";
  if (name == "PIR") return "pir";
  if (starts("CONSOLE")) return "console";
  if (starts("ZIGBEE")) return "zigbee";
  if (starts("I2C")) return "i2c";
  return "other";
}

}  // namespace

const std::vector<TraceSignal>& traceSignals() {
  static const std::vector<TraceSignal> signals = [] {
    std::vector<TraceSignal> all;
    for (const BoardPin& p : boardPins()) all.push_back({p.pin, p.name, groupOf(p.name)});
    return all;
  }();
  return signals;
}

std::optional<std::vector<TraceSignal>> selectTraceSignals(const std::string& list, std::string& error) {
  const auto& all = traceSignals();
  std::vector<bool> chosen(all.size(), false);
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string item = lower(trim(list.substr(start, comma - start)));
    start = comma + 1;
    if (item.empty()) continue;
    bool matched = false;
    for (std::size_t i = 0; i < all.size(); ++i) {
      const TraceSignal& s = all[i];
      if (item == "all" || item == lower(s.name()) || item == lower(pinText(s.pin)) || item == lower(s.role) ||
          item == s.group) {
        chosen[i] = true;
        matched = true;
      }
    }
    if (!matched) {
      error = "no signal '" + item + "' to trace; signals:";
      for (const auto& s : all) {
        error += ' ';
        error += s.name();
      }
      error += "; groups: all leds actuators inputs dip zigbee_reset pir console zigbee i2c";
      return std::nullopt;
    }
  }
  std::vector<TraceSignal> result;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (chosen[i]) result.push_back(all[i]);
  }
  if (result.empty()) {
    error = "the list of signals to trace is empty";
    return std::nullopt;
  }
  return result;
}

BoardTrace::BoardTrace(Board& board, const std::string& path, const std::vector<TraceSignal>& signals,
                       std::uint64_t unitPs)
    : board_(board), writer_(path, [&board] { return board.clock().now(); }, unitPs) {
  std::vector<VcdWriter::SignalId> ids;
  for (const TraceSignal& s : signals) ids.push_back(writer_.addSignal(s.name(), wireOf(s).level()));
  writer_.begin();
  for (std::size_t i = 0; i < signals.size(); ++i) {
    traceWire(wireOf(signals[i]), ids[i]);
  }
}

BoardTrace::~BoardTrace() = default;

// The I2C buses' bits travel on the bus wires the I2C model drives; every
// other line is its pin's net.
Net& BoardTrace::wireOf(const TraceSignal& signal) {
  std::string role = signal.role;
  if (role == "I2C1_SCL") return board_.i2cBus1().scl();
  if (role == "I2C1_SDA") return board_.i2cBus1().sda();
  if (role == "I2C2_SCL") return board_.i2cBus2().scl();
  if (role == "I2C2_SDA") return board_.i2cBus2().sda();
  return board_.net(signal.pin);
}

void BoardTrace::traceWire(Net& wire, VcdWriter::SignalId id) {
  subscriptions_.push_back(
      wire.onChange([this, id](Level level) { writer_.change(id, board_.clock().now(), level); }));
}

}  // namespace sim

