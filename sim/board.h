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
#include "core/fast_forward.h"
#include "core/interrupt_controller.h"
#include "core/listeners.h"
#include "core/net.h"
#include "core/timing_tolerances.h"
#include "devices/i2c_bus.h"
#include "devices/i2c_faults.h"
#include "devices/zigbee_module.h"
#include "devices/sensor_chips.h"
#include "devices/serial_endpoint.h"
#include "peripherals/flash_interface.h"
#include "peripherals/general_timer.h"
#include "peripherals/gpio_port.h"
#include "peripherals/i2c_peripheral.h"
#include "peripherals/nvic_registers.h"
#include "peripherals/operating_limits.h"
#include "peripherals/pwr.h"
#include "peripherals/rcc.h"
#include "peripherals/scb_registers.h"
#include "peripherals/systick.h"
#include "peripherals/usart.h"

namespace sim {

struct BoardConfig {
  bool crystal = true;
  // Where each timing of the board falls in its range: nominal without a seed.
  TimingTolerances timing{};
  // Handlers by exception number; missing entries are unused vectors.
  std::vector<InterruptController::Vector> vectors{};
};

// A pin by its port name ("PA8", "pc7") or its board name ("LED1", "zb_reset");
// nullopt for anything that is not a pin of ports A-E or H.
inline std::optional<PinName> parsePin(const std::string& text) { return findPin(text); }

class Board {
 public:
  // Cost of one register access in core cycles (the access and the few
  // instructions around it).
  static constexpr std::uint32_t kCyclesPerAccess = 4;
  // With a timing seed, the host build charges each stretch of firmware code
  // up to a register access a cost drawn from the image's spread instead: the
  // code's real time is unknown here. Measured on the board image under the
  // emulated core (system information, sensor menus, the ZigBee echo), from
  // one access to the next, the access included: 9 cycles or more in 95 cases
  // of 100, 15 at the median, 135 at the upper quartile (the code that
  // formats a character of text); longer gaps are waits for the transmitter,
  // which the host build's poll loops model themselves. Three accesses of
  // four draw from the short range, one from the long.
  static constexpr std::uint32_t kMinCyclesPerAccess = 5;
  static constexpr std::uint32_t kShortMaxCyclesPerAccess = 30;
  static constexpr std::uint32_t kMaxCyclesPerAccess = 140;
  // A poll loop's iteration (the read of the same register again, nothing in
  // between) is the same few instructions every time: one cost for the run.
  static constexpr std::uint32_t kMinCyclesPerPoll = 6;
  static constexpr std::uint32_t kMaxCyclesPerPoll = 12;

  explicit Board(BoardConfig config = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // The board the firmware's register accesses reach; throws when there is none.
  static Board& current();
  static bool exists();

  Clock& clock() { return clock_; }
  // The board's timing tolerances, drawn from the run's timing seed.
  const TimingTolerances& timing() const { return timing_; }
  InterruptController& interrupts() { return interrupts_; }
  NvicRegisters& nvic() { return nvic_; }
  ScbRegisters& scb() { return scb_; }
  Bus& bus() { return bus_; }
  Rcc& rcc() { return rcc_; }
  FlashInterface& flash() { return flash_; }
  Pwr& pwr() { return pwr_; }
  GpioPort& gpio(char port);
  Usart& usart1() { return usart1_; }
  Usart& usart3() { return usart3_; }
  SysTickTimer& sysTick() { return sysTick_; }
  GeneralTimer& tim2() { return tim2_; }
  I2cPeripheral& i2c1() { return *i2c1_; }
  I2cPeripheral& i2c2() { return *i2c2_; }
  // The wires of I2C1 (PB6 SCL, PB7 SDA: the sensor bus) and I2C2 (PB10, PB11)
  // with the chips on them.
  I2cBus& i2cBus1() { return *i2cBus1_; }
  I2cBus& i2cBus2() { return *i2cBus2_; }
  // A fault on the chip at a 7-bit address, on both buses; clearI2cFaults ends all.
  void setI2cFault(std::uint8_t address, I2cFault fault);
  void clearI2cFaults();

  // A model found itself programmed outside the chip's documented range. With
  // no listener the text goes to standard error.
  [[nodiscard]] Subscription onWarning(std::function<void(const std::string&)> listener) {
    return warnings_.add(std::move(listener));
  }
  void warn(const std::string& text);
  SerialEndpoint& console() { return *console_; }
  // The ZigBee module on USART3 (its UART is zigbee().uart()), reset by PA8.
  ZigBeeModule& zigbee() { return *zigbee_; }
  // The sensor chips and the physical values they see.
  SensorChips& sensors() { return *sensors_; }
  SensorValues& values() { return sensors_->values(); }
  // Takes the board's sensor chip at a 7-bit address off I2C1, so that a test
  // can put a chip of its own there. Nothing happens for a free address.
  void removeSensorChip(std::uint8_t address);

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
  // The firmware's last access was a read of a status register that failed its
  // poll loop's test, and the loop reads it again up to `more` times while it
  // reads the same. When the register's model says it cannot change before
  // the clock's next event, the polls before that event's access slot pass at
  // once, at most `more` of them, exactly as they would have run one by one
  // (same virtual times, same outcome); returns how many passed. Polls in
  // whose slot an event falls are read by the board itself; when one finds
  // the register changed, the firmware's next read is that poll.
  std::uint32_t firmwarePollsSkipped(std::uint32_t more);
  void firmwareWrite(std::uint32_t address, unsigned width, std::uint32_t value);
  void firmwareIdle();
  void firmwareSetPrimask(bool masked);

  // The firmware's last register access, for the irq log: what the code a
  // handler interrupted did last (on the host build; the emulated core's
  // accesses are recorded too).
  struct RegisterAccess {
    std::uint32_t address = 0;
    unsigned width = 0;
    bool write = false;
    std::uint32_t value = 0;
    std::uint64_t number = 0;  // 0: none yet
  };
  const RegisterAccess& lastAccess() const { return lastAccess_; }

  // Poll skipping (on by default); off, every poll is a modelled access.
  void setPollSkipping(bool on) { pollSkipping_ = on; }
  bool pollSkipping() const { return pollSkipping_; }
  // Register accesses the firmware made, polls that passed at once (not
  // counted among the accesses).
  std::uint64_t registerAccesses() const { return accesses_; }
  std::uint64_t skippedPolls() const { return polls_.skipped(); }

 private:
  void wire();
  static std::size_t netIndex(PinName pin);
  // The host build under a timing seed: costs and interrupt points drawn.
  bool hostSeeded() const { return !timing_.nominal() && !interrupts_.externalCore(); }
  // Spends the firmware code's cycles up to an access; with a seed, drawn.
  void spendUpToAccess(std::uint32_t address, unsigned width, bool read);
  // With a seed, takes what pended during the code before an access at a
  // drawn point: before the access, or after it as without a seed.
  void takeBeforeAccess();

  TimingTolerances timing_;
  Clock clock_;
  InterruptController interrupts_;
  NvicRegisters nvic_{interrupts_};
  SoftwareTriggerRegister stir_{interrupts_};
  ScbRegisters scb_{interrupts_};
  Bus bus_;
  // Every pin's net, port by port; declared before everything that drives
  // them, so that they outlive their drivers.
  std::vector<std::unique_ptr<Net>> nets_;
  std::vector<std::unique_ptr<NetDriver>> outside_;  // one per net, "script"
  std::vector<std::unique_ptr<NetDriver>> parts_;    // DIP switches, I2C pull-ups
  Rcc rcc_;
  FlashInterface flash_;
  Pwr pwr_;
  OperatingLimits limits_{rcc_, flash_, pwr_};
  std::vector<std::unique_ptr<GpioPort>> gpio_;
  Usart usart1_;
  Usart usart3_;
  SysTickTimer sysTick_;
  GeneralTimer tim2_;
  Listeners<const std::string&> warnings_;
  // Built once the pins' nets exist; the buses outlive their peripherals.
  std::unique_ptr<I2cBus> i2cBus1_, i2cBus2_;
  std::unique_ptr<I2cPeripheral> i2c1_, i2c2_;
  std::unique_ptr<SerialEndpoint> console_;     // the operator's terminal on USART1
  std::unique_ptr<SerialEndpoint> zigbeeLine_;  // the module's UART on USART3
  std::unique_ptr<ZigBeeModule> zigbee_;        // on the ZB_RESET net
  std::unique_ptr<NetDriver> pirOutput_;        // the PIR sensor's output on PH2
  std::unique_ptr<SensorChips> sensors_;

  bool pollSkipping_ = true;
  std::uint64_t accesses_ = 0;
  PollLoops polls_{clock_, interrupts_, bus_, accesses_};
  RegisterAccess lastAccess_;
  // Draws of the host build's timing under a seed.
  TimingTolerances::Stream accessCycles_;
  TimingTolerances::Stream interruptPoint_;
  std::uint32_t pollCycles_ = kCyclesPerAccess;
  // With a seed, an interrupt pended while the firmware idled may be taken
  // at its next register access instead of at once (the main loop's pass
  // that the event landed in goes on a little).
  bool deferredTake_ = false;
};

}  // namespace sim
