// A wire of the board.
//
// Every pin of the chip is a net, and so is every line that joins a pin to a
// part of the board. Whatever is connected drives it in one of a few ways (a
// port's push-pull or open-drain output stage, a peripheral's pin function, a
// pull resistor inside the chip or on the board, a switch to ground, what a
// test drives from outside), and the net settles at the level the circuit
// would: strong drivers win over pulls, open drain and pulls make a wired-AND,
// and two strong drivers that disagree are a short, which ends the run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "listeners.h"
#include "virtual_time.h"

namespace sim {

class Clock;

enum class Level : std::uint8_t { Low, High };

inline const char* levelName(Level level) { return level == Level::High ? "high" : "low"; }

// How one driver acts on its net.
enum class Drive : std::uint8_t {
  None,      // lets go: an input, an open-drain output at 1, a part that is off
  PullDown,  // weak, to ground: a pull-down resistor
  PullUp,    // weak, to the supply: a pull-up resistor
  Low,       // strong, to ground: an output at 0 (push-pull or open drain), a closed switch
  High,      // strong, to the supply: a push-pull output at 1
};

const char* driveName(Drive drive);

class Net;

// One thing connected to a net. It drives nothing until set(); destroying it
// disconnects it.
class NetDriver {
 public:
  NetDriver(Net& net, std::string name);
  ~NetDriver();
  NetDriver(const NetDriver&) = delete;
  NetDriver& operator=(const NetDriver&) = delete;

  // Changes how this driver acts on the net; the net settles at once and its
  // listeners hear of a level change. Two strong drivers at different levels
  // end the run (Stop of kind Short) naming both.
  void set(Drive drive);
  Drive drive() const { return drive_; }
  const std::string& name() const { return name_; }
  Net& net() const { return net_; }

 private:
  Net& net_;
  std::string name_;
  Drive drive_ = Drive::None;
};

class Net {
 public:
  // `clock` (optional) gives the virtual time in short messages.
  // `floatingLevel`: what the net reads when nothing drives or pulls it.
  explicit Net(std::string name, const Clock* clock = nullptr, Level floatingLevel = Level::Low);
  ~Net();
  Net(const Net&) = delete;
  Net& operator=(const Net&) = delete;

  const std::string& name() const { return name_; }
  Level level() const { return level_; }
  // True when no driver drives or pulls the net.
  bool floating() const;
  void setFloatingLevel(Level level);

  // Called with the new level after every change of level.
  [[nodiscard]] Subscription onChange(std::function<void(Level)> listener) { return listeners_.add(std::move(listener)); }

  const std::vector<NetDriver*>& drivers() const { return drivers_; }
  // "GPIOC output: high, script: low" for messages and the monitor; "nothing" when floating.
  std::string describeDrivers() const;

 private:
  friend class NetDriver;
  void attach(NetDriver& driver);
  void detach(NetDriver& driver, Drive drive);
  // A driver went from `from` to `to`: the counts follow.
  void count(Drive from, Drive to) {
    --driving_[static_cast<std::size_t>(from)];
    ++driving_[static_cast<std::size_t>(to)];
  }
  void settle();
  [[noreturn, gnu::cold]] void shorted() const;

  std::string name_;
  const Clock* clock_;
  Level floatingLevel_;
  Level level_;
  std::vector<NetDriver*> drivers_;
  // How many drivers act in each way (indexed by Drive): the level follows
  // from these alone, without visiting every driver at each change.
  std::array<std::uint32_t, 5> driving_{};
  Listeners<Level> listeners_;
};

}  // namespace sim
