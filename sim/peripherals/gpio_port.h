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
#include "../core/pin_function.h"

namespace sim {

class GpioPort : public Peripheral, public PinMux {
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

  // The pin multiplexer: a function reaches its pin in alternate-function mode
  // with its number selected in AFR.
  bool routes(const PinFunction& function) const override;
  NetDriver* directDriver(const PinFunction& function) const override;

 protected:
  void functionChanged(const PinFunction& function) override;
  void detachFunction(PinFunction& function) override;

 private:
  // A frame a serial function carries whole on a pin goes edge by edge before
  // the port changes anything on its pins.
  void cutCarriedFrames();
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
