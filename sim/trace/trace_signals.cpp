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

}  // namespace

const std::vector<TraceSignal>& traceSignals() {
  static const std::vector<TraceSignal> signals = {
      {"PC7", "LED1", "leds"},          {"PC8", "LED2", "leds"},          {"PC9", "LED3", "leds"},
      {"PA4", "ACT1", "actuators"},     {"PA5", "ACT2", "actuators"},     {"PA6", "ACT3", "actuators"},
      {"PA7", "ACT4", "actuators"},     {"PA0", "IN1", "inputs"},         {"PA1", "IN2", "inputs"},
      {"PA2", "IN3", "inputs"},         {"PA3", "IN4", "inputs"},         {"PB12", "DIP1", "dip"},
      {"PB13", "DIP2", "dip"},          {"PB15", "DIP3", "dip"},          {"PA8", "ZB_RESET", "zigbee_reset"},
      {"PH2", "PIR", "pir"},            {"PA9", "USART1_TX", "console"},  {"PA10", "USART1_RX", "console"},
      {"PC10", "USART3_TX", "zigbee"},  {"PC11", "USART3_RX", "zigbee"},  {"PB6", "I2C1_SCL", "i2c"},
      {"PB7", "I2C1_SDA", "i2c"},
  };
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
      if (item == "all" || item == lower(s.name()) || item == lower(s.pin) || item == lower(s.role) ||
          item == s.group) {
        chosen[i] = true;
        matched = true;
      }
    }
    if (!matched) {
      error = "no signal '" + item + "' to trace; signals:";
      for (const auto& s : all) error += " " + s.name();
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

BoardTrace::BoardTrace(Board& board, const std::string& path, const std::vector<TraceSignal>& signals)
    : board_(board), writer_(path, [&board] { return board.clock().now(); }) {
  std::vector<std::pair<PinName, VcdWriter::SignalId>> pins;
  for (const TraceSignal& s : signals) {
    PinName pin = *parsePin(s.pin);
    pins.emplace_back(pin, writer_.addSignal(s.name(), board_.pinLevel(pin)));
  }
  writer_.begin();
  for (std::size_t i = 0; i < signals.size(); ++i) {
    tracePin(pins[i].first, pins[i].second);
    std::string role = signals[i].role;
    if (role == "USART1_TX") traceSerialFrames(board_.usart1(), pins[i].second);
    if (role == "USART3_TX") traceSerialFrames(board_.usart3(), pins[i].second);
  }
}

BoardTrace::~BoardTrace() { *alive_ = false; }

void BoardTrace::tracePin(const PinName& pin, VcdWriter::SignalId id) {
  board_.gpio(pin.port).onLevelChange([this, alive = alive_, number = pin.pin, id](unsigned changed, Level level) {
    if (*alive && changed == number) writer_.change(id, board_.clock().now(), level);
  });
}

// The USART tells when a frame starts; its bits follow at the frame's bit time:
// start bit low, eight data bits least significant first, stop bit high.
void BoardTrace::traceSerialFrames(Usart& usart, VcdWriter::SignalId id) {
  usart.onTransmitStart([this, alive = alive_, id](const Usart::Frame& frame) {
    if (!*alive) return;
    Time start = board_.clock().now();
    writer_.change(id, start, Level::Low);
    for (unsigned bit = 0; bit < 8; ++bit) {
      Level level = ((frame.byte >> bit) & 1u) != 0 ? Level::High : Level::Low;
      writer_.change(id, start + (1 + bit) * frame.bitTime, level);
    }
    writer_.change(id, start + 9 * frame.bitTime, Level::High);
  });
}

}  // namespace sim
