// A GPIO port of the virtual board: modes, output types, speeds, pulls,
// alternate functions, output latch, and input levels from the outside world.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../core/bus.h"
#include "../core/net.h"

namespace sim {

class GpioPort : public Peripheral {
 public:
  struct ResetValues {
    std::uint32_t moder = 0, otyper = 0, ospeedr = 0, pupdr = 0;
  };
  enum class Mode { Input = 0, Output = 1, Alternate = 2, Analog = 3 };
  enum class Pull { None = 0, Up = 1, Down = 2 };

  GpioPort(char letter, ResetValues resetValues);

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

  // What the outside world does to a pin: drive it, or leave it (nullopt).
  void drive(unsigned pin, std::optional<Level> level);
  // Level a floating input reads (no driver, no pull); the board sets it.
  void setFloatingLevel(unsigned pin, Level level);
  // The level on the pin now: an outside driver, else the pin's own output when
  // it drives (output push-pull, or open-drain pulling low), else its pull, else
  // the floating level.
  Level level(unsigned pin) const;

  // Called after anything that may change a pin's level (pin, new level).
  void onLevelChange(std::function<void(unsigned, Level)> observer) { observers_.push_back(std::move(observer)); }

 private:
  std::array<Level, 16> levels() const;
  void notifyChanges(const std::array<Level, 16>& before);

  char letter_;
  ResetValues resetValues_;
  std::uint32_t moder_, otyper_, ospeedr_, pupdr_;
  std::uint32_t odr_ = 0, lckr_ = 0;
  std::array<std::uint32_t, 2> afr_{};
  std::array<std::optional<Level>, 16> driven_{};
  std::array<Level, 16> floating_{};
  std::vector<std::function<void(unsigned, Level)>> observers_;
};

}  // namespace sim
