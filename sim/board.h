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

#include "board_pins.h"
#include "core/bus.h"
#include "core/clock.h"
#include "core/interrupt_controller.h"
#include "core/net.h"
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

// A pin by its port name ("PA8", "pc7") or its board name ("LED1", "zb_reset");
// nullopt for anything that is not a pin of ports A-E or H.
inline std::optional<PinName> parsePin(const std::string& text) { return findPin(text); }

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
  SerialEndpoint& console() { return *console_; }

  // The wire of a pin ("PC7" is the net of LED1).
  Net& net(PinName pin);
  Level pinLevel(PinName pin) { return net(pin).level(); }
  // What the outside world (a script's `set pin`, a test) drives on a pin: a
  // strong high or low, or nothing (nullopt). Driving against the firmware's
  // push-pull output, or low against a part holding the line high, is a short
  // and ends the run.
  void drivePin(PinName pin, std::optional<Level> level);
  // Closes (pulls the line low) or opens DIP switch 1-3.
  void setDipSwitch(unsigned number, bool closed);

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
  // Every pin's net, port by port; declared before everything that drives
  // them, so that they outlive their drivers.
  std::vector<std::unique_ptr<Net>> nets_;
  std::vector<std::unique_ptr<NetDriver>> outside_;  // one per net, "script"
  std::vector<std::unique_ptr<NetDriver>> parts_;    // DIP switches, I2C pull-ups
  Rcc rcc_;
  FlashInterface flash_;
  Pwr pwr_;
  std::vector<std::unique_ptr<GpioPort>> gpio_;
  Usart usart1_;
  Usart usart3_;
  SysTickTimer sysTick_;
  GeneralTimer tim2_;
  I2cPeripheral i2c1_;
  I2cPeripheral i2c2_;
  std::unique_ptr<SerialEndpoint> console_;  // the operator's terminal on USART1
};

}  // namespace sim
