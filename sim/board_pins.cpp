#include "board_pins.h"

#include <array>
#include <cctype>

namespace sim {

namespace {

constexpr BoardPin kBoardPins[] = {
    {"LED1", {'C', 7}, "status LED 1, lit when low"},
    {"LED2", {'C', 8}, "status LED 2, lit when low"},
    {"LED3", {'C', 9}, "status LED 3, lit when low"},
    {"ACT1", {'A', 4}, "actuator output 1"},
    {"ACT2", {'A', 5}, "actuator output 2"},
    {"ACT3", {'A', 6}, "actuator output 3"},
    {"ACT4", {'A', 7}, "actuator output 4"},
    {"IN1", {'A', 0}, "input port 1, floating unless driven"},
    {"IN2", {'A', 1}, "input port 2, floating unless driven"},
    {"IN3", {'A', 2}, "input port 3, floating unless driven"},
    {"IN4", {'A', 3}, "input port 4, floating unless driven"},
    {"DIP1", {'B', 12}, "DIP switch 1, closed pulls low"},
    {"DIP2", {'B', 13}, "DIP switch 2, closed pulls low"},
    {"DIP3", {'B', 15}, "DIP switch 3, closed pulls low"},
    {"ZB_RESET", {'A', 8}, "ZigBee module reset, active low"},
    {"PIR", {'H', 2}, "PIR motion sensor output"},
    {"CONSOLE_TX", {'A', 9}, "console serial line, board to terminal (USART1 TX)"},
    {"CONSOLE_RX", {'A', 10}, "console serial line, terminal to board (USART1 RX)"},
    {"ZIGBEE_TX", {'C', 10}, "ZigBee serial line, board to module (USART3 TX)"},
    {"ZIGBEE_RX", {'C', 11}, "ZigBee serial line, module to board (USART3 RX)"},
    {"I2C1_SCL", {'B', 6}, "I2C bus 1 clock, pulled up on the board"},
    {"I2C1_SDA", {'B', 7}, "I2C bus 1 data, pulled up on the board"},
    {"I2C2_SCL", {'B', 10}, "I2C bus 2 clock, pulled up on the board"},
    {"I2C2_SDA", {'B', 11}, "I2C bus 2 data, pulled up on the board"},
};

constexpr char kPorts[] = {'A', 'B', 'C', 'D', 'E', 'H'};

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// "PXn" with X a port of the chip and n 0-15 written without a leading zero.
std::optional<PinName> parsePortPin(std::string_view text) {
  if (text.size() < 3 || text.size() > 4 || std::toupper(static_cast<unsigned char>(text[0])) != 'P') {
    return std::nullopt;
  }
  char port = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
  bool known = false;
  for (char p : kPorts) known = known || p == port;
  if (!known) return std::nullopt;
  unsigned pin = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    pin = pin * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (pin > 15 || (text.size() == 4 && text[2] == '0')) return std::nullopt;
  return PinName{port, pin};
}

}  // namespace

std::span<const BoardPin> boardPins() { return kBoardPins; }

std::optional<PinName> findPin(std::string_view text) {
  for (const BoardPin& p : kBoardPins) {
    if (sameName(text, p.name)) return p.pin;
  }
  return parsePortPin(text);
}

const BoardPin* boardPin(PinName pin) {
  for (const BoardPin& p : kBoardPins) {
    if (p.pin == pin) return &p;
  }
  return nullptr;
}

std::string pinText(PinName pin) { return std::string("P") + pin.port + std::to_string(pin.pin); }

}  // namespace sim
