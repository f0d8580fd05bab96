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

#include <cstdint>
#include <memory>
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

// A serial frame on a line, as its sender shapes it: idle high, from `start`
// one slot of `bit` each for the start bit (low) and the data bits, then high
// (the stop bit and whatever stop time follows) until `end`.
struct LineFrame {
  Time start = 0;
  Time bit = 0;
  std::uint32_t levels = 0;  // slot i is high when bit i is set; slot 0, the start bit, is low
  unsigned slots = 0;        // the start bit and the data bits
  unsigned dataBits = 8;
  Time end = 0;

  // The level at `t`, an edge at `t` included.
  Level levelAt(Time t) const {
    if (t < start) return Level::High;
    Time slot = (t - start) / bit;
    return slot >= slots || ((levels >> slot) & 1u) != 0 ? Level::High : Level::Low;
  }
  // The level just before `t`, an edge at `t` not yet.
  Level levelBefore(Time t) const { return t <= start ? Level::High : levelAt(t - 1); }
};

// A receiver that can take a frame on its line whole, rather than edge by
// edge, when it samples at the sender's own bit timing.
class NetFrameListener {
 public:
  // Whether it would read `frame` exactly from the frame alone.
  virtual bool canTakeFrame(const LineFrame& frame) const = 0;
  virtual void takeFrame(const LineFrame& frame) = 0;
  // The frame taken goes on edge by edge from now: its edges up to now have
  // happened, the later ones come as level changes.
  virtual void frameCut(const LineFrame& frame) = 0;
  virtual ~NetFrameListener() = default;
};

// The sender of a frame carried whole on a net.
class NetCarrier {
 public:
  // The net needs the frame edge by edge from now: the net already stands at
  // the frame's level of this instant; the sender brings its own state there
  // and puts the remaining edges on the line one by one.
  virtual void carryCut(const LineFrame& frame) = 0;
  // The net goes away.
  virtual void netGone() = 0;
  virtual ~NetCarrier() = default;
};

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
  friend class Net;
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
  Level level() const { return carrier_ != nullptr ? carried_.levelAt(clockNow()) : level_; }
  // True when no driver drives or pulls the net.
  bool floating() const;
  void setFloatingLevel(Level level);

  // Called with the new level after every change of level. A listener that
  // hears every edge makes a frame carried whole go on edge by edge.
  [[nodiscard]] Subscription onChange(std::function<void(Level)> listener);
  // A receiver: `edge` hears every change of level, as onChange's listeners
  // do, and frames whose sender carries them whole reach `receiver` whole.
  [[nodiscard]] Subscription onFrames(NetFrameListener& receiver, std::function<void(Level)> edge);

  // A serial sender's frame carried whole: `driver` (push-pull, at high now)
  // puts `frame` on the net, and no event marks its edges. Only when nothing
  // needs those edges: no listener but receivers that all take the frame, and
  // no other driver driving the net hard (a short shows at its instant). True
  // when the net carries it; then until carryDone() the net's level is the
  // frame's, and whatever touches the net (another driver, a new listener)
  // first makes the frame go on edge by edge (NetCarrier::carryCut).
  bool carry(NetDriver& driver, const LineFrame& frame, NetCarrier& sender);
  // The carried frame has ended: the line is at idle high again.
  void carryDone();
  bool carrying() const { return carrier_ != nullptr; }
  // Ends carrying the frame whole, if one is: the net, its receivers and the
  // sender go edge by edge from this instant.
  void cutCarriedFrame();

  const std::vector<NetDriver*>& drivers() const { return drivers_; }
  // "GPIOC output: high, script: low" for messages and the monitor; "nothing" when floating.
  std::string describeDrivers() const;

 private:
  friend class NetDriver;
  void attach(NetDriver& driver);
  void detach(NetDriver& driver);
  void settle();
  Time clockNow() const;

  std::string name_;
  const Clock* clock_;
  Level floatingLevel_;
  Level level_;
  std::vector<NetDriver*> drivers_;
  Listeners<Level> listeners_;
  // Listeners that need every edge (receivers taking frames whole excluded).
  std::size_t edgeListeners_ = 0;
  std::vector<NetFrameListener*> receivers_;
  NetCarrier* carrier_ = nullptr;
  NetDriver* carriedDriver_ = nullptr;
  LineFrame carried_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sim
