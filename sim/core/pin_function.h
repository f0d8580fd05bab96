// A peripheral's side of a pin: USART TX and RX, I2C SCL and SDA, ...
//
// The peripheral owns one PinFunction per signal and sets what it drives; the
// board attaches it to a pin through that pin's multiplexer (a GPIO port's
// alternate-function selection, see PinMux). The drive reaches the pin's net
// only while the multiplexer routes the function to the pin; the port's output
// type decides push-pull or open drain (open drain turns a High into None), so
// an I2C peripheral sets High for "released" and the pin's configuration makes
// it open drain, as on the chip. An input-only signal (USART RX) leaves its
// drive at None and reads the line through net() while routed() is true.
#pragma once

#include <functional>
#include <string>

#include "net.h"

namespace sim {

class PinFunction;

// What joins pin functions to pins: it decides whether a function's drive
// reaches the pin and puts it there. A GPIO port is one.
class PinMux {
 public:
  virtual ~PinMux() = default;

  // Whether `function`, attached here, is the one the pin selects now.
  virtual bool routes(const PinFunction& function) const = 0;
  // The driver that puts `function`'s drive on the net as it is (see
  // PinFunction::directDriver).
  virtual NetDriver* directDriver(const PinFunction& function) const = 0;

 protected:
  friend class PinFunction;
  // The function's drive changed.
  virtual void functionChanged(const PinFunction& function) = 0;
  // The function goes away: it must leave the pin.
  virtual void detachFunction(PinFunction& function) = 0;

  // The function's record of where it is attached, kept by the multiplexer;
  // announce() then tells the peripheral the net it now listens to.
  static void bind(PinFunction& function, PinMux& mux, unsigned pin, Net& net);
  static void announce(PinFunction& function);
  static void unbind(PinFunction& function);
  static unsigned pinOf(const PinFunction& function);
};

class PinFunction {
 public:
  // `attached` (optional) is called with the pin's net when the board attaches
  // the function to a pin, for a peripheral that listens to the line.
  explicit PinFunction(std::string name, std::function<void(Net&)> attached = {})
      : name_(std::move(name)), attached_(std::move(attached)) {}
  // Leaves the pin it is attached to.
  ~PinFunction();
  PinFunction(const PinFunction&) = delete;
  PinFunction& operator=(const PinFunction&) = delete;

  const std::string& name() const { return name_; }
  // What the peripheral drives: High, Low or None.
  void set(Drive drive);
  Drive drive() const { return drive_; }

  // Attached to a pin, and that pin now in alternate-function mode with this
  // function selected.
  bool routed() const;
  // The net of the pin it is attached to; nullptr before the board attaches it.
  Net* net() const { return net_; }
  // Level of the line as the peripheral's input sees it: the net's level while
  // routed, else high (an unrouted input idles).
  Level level() const;
  // The driver that puts this function's drive on the net as it is: while
  // routed through a push-pull stage; nullptr otherwise.
  NetDriver* directDriver() const;

 private:
  friend class PinMux;
  std::string name_;
  std::function<void(Net&)> attached_;
  Drive drive_ = Drive::None;
  PinMux* mux_ = nullptr;
  unsigned pin_ = 0;
  Net* net_ = nullptr;
};

}  // namespace sim
