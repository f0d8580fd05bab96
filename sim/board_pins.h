// The pins of the TL500 board: the chip's port names and the board's own names
// for the lines wired to its parts, in one table. The script language, the
// monitor and the traces all name pins through it, so "LED1", "led1", "PC7" and
// "pc7" mean the same line everywhere.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim {

// A pin of the chip: port letter (A-E, H) and number (0-15).
struct PinName {
  char port;
  unsigned pin;
  friend bool operator==(const PinName&, const PinName&) = default;
};

// A line of the board with a name of its own.
struct BoardPin {
  const char* name;  // "LED1"
  PinName pin;       // PC7
  const char* role;  // "status LED 1, lit when low"
};

// Every named line of the board, in the order the board's documentation lists them.
std::span<const BoardPin> boardPins();

// A pin by its board name ("LED1", "ZB_RESET") or its port name ("PC7"),
// either in any case; nullopt for anything else.
std::optional<PinName> findPin(std::string_view text);
// The board's entry for a pin, nullptr when the board gives it no name.
const BoardPin* boardPin(PinName pin);
// "PC7".
std::string pinText(PinName pin);

}  // namespace sim
