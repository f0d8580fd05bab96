// The TL500 virtual board: the chip's core and peripheral models, wired as on
// the real board (LEDs, actuator lines, DIP switches, PIR input, ZigBee reset
// line, the console terminal on USART1).
//
// One board at a time is "current": the firmware's register proxies, interrupt
// mask and idle hint reach it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/bus.h"
#include "core/clock.h"
#include "core/interrupt_controller.h"
#include "core/listeners.h"
#include "devices/i2c_bus.h"
#include "devices/i2c_faults.h"
#include "devices/sensor_chips.h"
#include "endpoints/serial_endpoint.h"
#include "peripherals/flash_interface.h"
#include "peripherals/general_timer.h"
#include "peripherals/gpio_port.h"
#include "peripherals/i2c_peripheral.h"
#include "peripherals/pwr.h"
#include "peripherals/rcc.h"
#include "peripherals/systick.h"
#include "peripherals/usart.h"

namespace sim {

struct BoardConfig {
  bool crystal = true;
  // Handlers by exception number; missing entries are unused vectors.
  std::vector<InterruptController::Vector> vectors;
};

// A pin of the board by name, "PA8", "PC7", "PH2".
struct PinName {
  char port;
  unsigned pin;
};
// Parses "PXn"; nullopt for anything that is not a pin of ports A-E or H.
std::optional<PinName> parsePin(const std::string& text);

class Board {
 public:
  // Cost of one register access in core cycles (the access and the few
  // instructions around it).
  static constexpr std::uint32_t kCyclesPerAccess = 4;

  explicit Board(BoardConfig config = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // The board the firmware's register accesses reach; throws when there is none.
  static Board& current();
  static bool exists();

  Clock& clock() { return clock_; }
  InterruptController& interrupts() { return interrupts_; }
  Bus& bus() { return bus_; }
  Rcc& rcc() { return rcc_; }
  FlashInterface& flash() { return flash_; }
  Pwr& pwr() { return pwr_; }
  GpioPort& gpio(char port);
  Usart& usart1() { return usart1_; }
  Usart& usart3() { return usart3_; }
  SysTickTimer& sysTick() { return sysTick_; }
  GeneralTimer& tim2() { return tim2_; }
  I2cPeripheral& i2c1() { return i2c1_; }
  I2cPeripheral& i2c2() { return i2c2_; }
  // The wires of I2C1 (PB6 SCL, PB7 SDA: the sensor bus) and I2C2 (PB10, PB11).
  I2cBus& i2cBus1() { return i2cBus1_; }
  I2cBus& i2cBus2() { return i2cBus2_; }
  // A fault on the chip at a 7-bit address, on both buses; clearI2cFaults ends all.
  void setI2cFault(std::uint8_t address, I2cFault fault);
  void clearI2cFaults();

  // A model found itself programmed outside the chip's documented range. With
  // no listener the text goes to standard error.
  [[nodiscard]] Subscription onWarning(std::function<void(const std::string&)> listener) {
    return warnings_.add(std::move(listener));
  }
  void warn(const std::string& text);
  SerialEndpoint& console() { return console_; }
  // The sensor chips and the physical values they see.
  SensorChips& sensors() { return *sensors_; }
  SensorValues& values() { return sensors_->values(); }

  Level pinLevel(PinName pin) { return gpio(pin.port).level(pin.pin); }
  void drivePin(PinName pin, std::optional<Level> level) { gpio(pin.port).drive(pin.pin, level); }

  // The firmware's side of the seam.
  std::uint32_t firmwareRead(std::uint32_t address, unsigned width);
  void firmwareWrite(std::uint32_t address, unsigned width, std::uint32_t value);
  void firmwareIdle();
  void firmwareSetPrimask(bool masked);

 private:
  void wire();

  Clock clock_;
  InterruptController interrupts_;
  Bus bus_;
  Rcc rcc_;
  FlashInterface flash_;
  Pwr pwr_;
  std::vector<std::unique_ptr<GpioPort>> gpio_;
  Usart usart1_;
  Usart usart3_;
  SysTickTimer sysTick_;
  GeneralTimer tim2_;
  Listeners<const std::string&> warnings_;
  I2cBus i2cBus1_;
  I2cBus i2cBus2_;
  I2cPeripheral i2c1_;
  I2cPeripheral i2c2_;
  SerialEndpoint console_;
  std::unique_ptr<SensorChips> sensors_;  // after the ports: the PIR sensor drives PH2
};

}  // namespace sim
