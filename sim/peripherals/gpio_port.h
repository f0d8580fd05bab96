// A GPIO port of the virtual board: modes, output types, speeds, pulls,
// alternate functions and the output latch, acting on the board's nets.
//
// Each of the 16 pins is a net the board owns. The port drives it as the pin's
// configuration says:
// - output mode: the output stage, push-pull (high or low from ODR) or open
//   drain (low, or let go);
// - alternate-function mode: whatever the peripheral that owns the selected
//   function drives (see PinFunction), through the same output stage: with
//   OTYPER set to open drain, a peripheral's high becomes "let go";
// - input and alternate-function modes: the pull-up or pull-down from PUPDR, as
//   a weak driver beside the output stage;
// - analog mode: nothing at all, and IDR reads 0 for the pin.
// IDR reads the levels the nets settle at, so an input reads what the outside
// world drives and an output reads back what the line really carries.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../core/bus.h"
#include "../core/listeners.h"
#include "../core/net.h"

namespace sim {

class GpioPort;

// A peripheral's side of a pin: USART TX and RX, I2C SCL and SDA, ...
//
// The peripheral owns one PinFunction per signal and sets what it drives; the
// board attaches it to a pin with GpioPort::attachFunction(pin, af, function).
// The drive reaches the pin's net only while the pin is in alternate-function
// mode with that function number selected in AFR; the port's OTYPER decides
// push-pull or open drain (open drain turns a High into None), so an I2C
// peripheral sets High for "released" and the pin's configuration makes it
// open drain, as on the chip. An input-only signal (USART RX) leaves its drive
// at None and reads the line through net() while routed() is true.
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

 private:
  friend class GpioPort;
  std::string name_;
  std::function<void(Net&)> attached_;
  Drive drive_ = Drive::None;
  GpioPort* port_ = nullptr;
  unsigned pin_ = 0;
  Net* net_ = nullptr;
  // The driver that carries this function to the net while the pin's mode and
  // AFR select it (the port sets it whenever they change), and whether the
  // pin is open drain: each change of drive then goes straight to the net.
  NetDriver* routedDriver_ = nullptr;
  bool openDrain_ = false;
};

class GpioPort : public Peripheral {
 public:
  struct ResetValues {
    std::uint32_t moder = 0, otyper = 0, ospeedr = 0, pupdr = 0;
  };
  enum class Mode { Input = 0, Output = 1, Alternate = 2, Analog = 3 };
  enum class Pull { None = 0, Up = 1, Down = 2 };
  static constexpr unsigned kPins = 16;

  // `pins`: the nets of pins 0 to 15, owned by the board and outliving the port.
  GpioPort(char letter, ResetValues resetValues, const std::array<Net*, kPins>& pins);
  ~GpioPort() override;

  std::string name() const override { return std::string("GPIO") + letter_; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  void reset() override;

  char letter() const { return letter_; }
  Mode mode(unsigned pin) const;
  Pull pull(unsigned pin) const;
  bool openDrain(unsigned pin) const;
  unsigned alternateFunction(unsigned pin) const;
  bool latch(unsigned pin) const;  // output data register bit

  // Makes `function` the peripheral signal behind alternate function `af`
  // (0-15) of `pin`. A function is attached to one pin; `function` must outlive
  // the port.
  void attachFunction(unsigned pin, unsigned af, PinFunction& function);

  Net& net(unsigned pin) const { return *pins_[pin]; }
  // The level on the pin's net now.
  Level level(unsigned pin) const { return pins_[pin]->level(); }

  // Called after every change of a pin's level (pin, new level).
  [[nodiscard]] Subscription onLevelChange(std::function<void(unsigned, Level)> listener);

 private:
  friend class PinFunction;
  struct Attached {
    unsigned af;
    PinFunction* function;
    std::unique_ptr<NetDriver> driver;
  };
  struct PinDrivers {
    std::unique_ptr<NetDriver> output;  // the output stage in output mode
    std::unique_ptr<NetDriver> pull;    // PUPDR
    std::vector<Attached> functions;    // alternate functions wired to the pin
  };

  void detachFunction(PinFunction& function);
  // Sets every driver of `pin` from the registers; lets go first, then drives,
  // so that a change of mode never has two of the port's own drivers fight.
  void refresh(unsigned pin);
  void refreshAll();

  char letter_;
  ResetValues resetValues_;
  std::array<Net*, kPins> pins_;
  std::array<PinDrivers, kPins> drivers_;
  std::uint32_t moder_, otyper_, ospeedr_, pupdr_;
  std::uint32_t odr_ = 0, lckr_ = 0;
  std::array<std::uint32_t, 2> afr_{};
  Listeners<unsigned, Level> levelListeners_;
  std::vector<Subscription> netSubscriptions_;
};

}  // namespace sim
