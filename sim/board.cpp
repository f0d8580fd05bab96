#include "board.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <cstddef>
#include <stdexcept>

#include "../platform/platform_types.h"
#include "../platform/stm32l1_registers.h"
#include "core/stop.h"

namespace sim {

namespace {
Board* g_current = nullptr;

// Reset values of the ports whose pins serve the debug interface after reset
// (PA13/PA14/PA15, PB3/PB4).
constexpr GpioPort::ResetValues kPortAReset{0xA8000000u, 0, 0x0C000000u, 0x64000000u};
constexpr GpioPort::ResetValues kPortBReset{0x00000280u, 0, 0x000000C0u, 0x00000100u};
constexpr GpioPort::ResetValues kPortOtherReset{};
constexpr char kPorts[] = {'A', 'B', 'C', 'D', 'E', 'H'};
constexpr std::uint32_t kGpioBases[] = {GPIOA_BASE, GPIOB_BASE, GPIOC_BASE, GPIOD_BASE, GPIOE_BASE, GPIOH_BASE};
constexpr std::uint32_t kGpioEnable[] = {RCC_AHBENR_GPIOAEN, RCC_AHBENR_GPIOBEN, RCC_AHBENR_GPIOCEN,
                                         RCC_AHBENR_GPIODEN, RCC_AHBENR_GPIOEEN, RCC_AHBENR_GPIOHEN};
constexpr unsigned kPinsPerPort = GpioPort::kPins;
constexpr const char* kDipSwitches[] = {"DIP1", "DIP2", "DIP3"};
constexpr const char* kI2cLines[] = {"I2C1_SCL", "I2C1_SDA", "I2C2_SCL", "I2C2_SDA"};

std::size_t portIndex(char port) {
  for (std::size_t i = 0; i < sizeof kPorts; ++i) {
    if (kPorts[i] == port) return i;
  }
  throw std::invalid_argument(std::string("no GPIO port ") + port);
}

// The oscillators' start-up times where this board's parts put them: the
// crystal's start-up depends on the crystal and its load capacitors (the
// chip specifies 1 ms typical, up to 2 ms with the board's 12 MHz part), the
// PLL locks in 100 to 200 us.
RccConfig rccConfig(const BoardConfig& config) {
  RccConfig rcc;
  rcc.crystal = config.crystal;
  rcc.crystalStartup =
      config.timing.fixed("crystal start-up", rcc.crystalStartup, microseconds(1000), microseconds(2000));
  rcc.pllLock = config.timing.fixed("PLL lock", rcc.pllLock, microseconds(100), microseconds(200));
  // How far each oscillator is off its nominal rate on this board, within
  // what the parts guarantee on a bench (0 to 55 degC or wider):
  //   - the 12 MHz crystal: +-50 ppm (its tolerance and drift together);
  //   - MSI: factory-calibrated to +-0.5 % at 25 degC, drifting up to +-3 %
  //     over 0 to 85 degC: drawn within +-3 %;
  //   - HSI: factory-calibrated to +-1 % at 25 degC, +-1.5 % over 0 to
  //     55 degC: drawn within +-1.5 %.
  auto ppb = [&](const char* name, double ppm) {
    return static_cast<std::int64_t>(std::llround(config.timing.fixedPpm(name, ppm) * 1000.0));
  };
  rcc.hseErrorPpb = ppb("crystal accuracy", 50);
  rcc.msiErrorPpb = ppb("MSI accuracy", 30'000);
  rcc.hsiErrorPpb = ppb("HSI accuracy", 15'000);
  return rcc;
}

// The net of the pin a peripheral's signal is attached to: where the far end
// of its line connects.
Net& attachedNet(const PinFunction& signal) {
  if (signal.net() == nullptr) throw std::logic_error(signal.name() + " is not attached to a pin");
  return *signal.net();
}

}  // namespace

Board::Board(BoardConfig config)
    : timing_(config.timing),
      interrupts_(clock_, std::move(config.vectors)),
      rcc_(clock_, rccConfig(config)),
      pwr_(clock_),
      usart1_("USART1", clock_, interrupts_, USART1_IRQn, [this] { return rcc_.pclk2Hz(); }),
      usart3_("USART3", clock_, interrupts_, USART3_IRQn, [this] { return rcc_.pclk1Hz(); }),
      sysTick_(clock_, interrupts_),
      tim2_("TIM2", clock_, interrupts_, TIM2_IRQn, [this] { return rcc_.apb1TimerHz(); }),
      accessCycles_(timing_.stream("host cycles per register access")),
      interruptPoint_(timing_.stream("host interrupt point")),
      pollCycles_(static_cast<std::uint32_t>(
          timing_.fixed("host cycles per poll", kCyclesPerAccess, kMinCyclesPerPoll, kMaxCyclesPerPoll))) {
  interrupts_.setTiming(timing_);
  if (g_current != nullptr) throw std::logic_error("a virtual board exists already");
  // Floating lines of this board read low unless something drives them.
  for (char port : kPorts) {
    for (unsigned pin = 0; pin < kPinsPerPort; ++pin) {
      nets_.push_back(std::make_unique<Net>(pinText({port, pin}), &clock_, Level::Low));
      outside_.push_back(std::make_unique<NetDriver>(*nets_.back(), "script"));
    }
  }
  for (char port : kPorts) {
    GpioPort::ResetValues values = port == 'A' ? kPortAReset : port == 'B' ? kPortBReset : kPortOtherReset;
    std::array<Net*, kPinsPerPort> pins{};
    for (unsigned pin = 0; pin < kPinsPerPort; ++pin) pins[pin] = &net({port, pin});
    gpio_.push_back(std::make_unique<GpioPort>(port, values, pins));
  }
  auto warning = [this](const std::string& text) { warn(text); };
  auto pclk1 = [this] { return rcc_.pclk1Hz(); };
  i2cBus1_ = std::make_unique<I2cBus>("I2C1", clock_, net(*findPin("I2C1_SCL")), net(*findPin("I2C1_SDA")));
  i2cBus2_ = std::make_unique<I2cBus>("I2C2", clock_, net(*findPin("I2C2_SCL")), net(*findPin("I2C2_SDA")));
  i2c1_ = std::make_unique<I2cPeripheral>("I2C1", interrupts_, I2cPeripheral::Lines{I2C1_EV_IRQn, I2C1_ER_IRQn},
                                          pclk1, *i2cBus1_, warning);
  i2c2_ = std::make_unique<I2cPeripheral>("I2C2", interrupts_, I2cPeripheral::Lines{I2C2_EV_IRQn, I2C2_ER_IRQn},
                                          pclk1, *i2cBus2_, warning);
  // The PIR sensor's push-pull output stage drives PH2 from power-on, low
  // while it sees nothing. Driving PH2 from outside fights it (a short);
  // motion is set through pir.motion.
  pirOutput_ = std::make_unique<NetDriver>(net({'H', 2}), "PIR sensor");
  sensors_ = std::make_unique<SensorChips>(
      clock_, [this](Level level) { pirOutput_->set(level == Level::High ? Drive::High : Drive::Low); }, timing_);
  // Every sensor chip sits on I2C1; the magnetometer answers only through the
  // motion sensor's bypass.
  for (I2cTarget* chip : sensors_->i2cTargets()) i2cBus1_->attach(*chip);
  wire();
  console_ = std::make_unique<SerialEndpoint>("console", clock_, attachedNet(usart1_.rxPin()),
                                              attachedNet(usart1_.txPin()), SerialEndpoint::kDefaultBaud, timing_,
                                              [this] { return usart1_.deafness(); });
  zigbeeLine_ = std::make_unique<SerialEndpoint>("zigbee", clock_, attachedNet(usart3_.rxPin()),
                                                 attachedNet(usart3_.txPin()), SerialEndpoint::kDefaultBaud, timing_,
                                                 [this] { return usart3_.deafness(); });
  // The ZigBee module on USART3; its reset input has the module's own pull-up.
  zigbee_ = std::make_unique<ZigBeeModule>(clock_, *zigbeeLine_, net(*findPin("ZB_RESET")));
  g_current = this;
}

Board::~Board() {
  g_current = nullptr;
  // The I2C peripherals let go of their pins first: a run that ends in the
  // middle of a transaction then shows the buses a STOP while the chips that
  // take part in it still exist (members die in reverse order, the chips
  // first).
  i2c1_.reset();
  i2c2_.reset();
}

Board& Board::current() {
  if (g_current == nullptr) throw std::logic_error("no virtual board: register access without a board");
  return *g_current;
}

bool Board::exists() { return g_current != nullptr; }

GpioPort& Board::gpio(char port) { return *gpio_[portIndex(port)]; }

std::size_t Board::netIndex(PinName pin) {
  if (pin.pin >= kPinsPerPort) throw std::invalid_argument("no pin " + pinText(pin));
  return portIndex(pin.port) * kPinsPerPort + pin.pin;
}

Net& Board::net(PinName pin) { return *nets_[netIndex(pin)]; }

void Board::drivePin(PinName pin, std::optional<Level> level) {
  Drive drive = !level ? Drive::None : *level == Level::High ? Drive::High : Drive::Low;
  outside_[netIndex(pin)]->set(drive);
}

void Board::setDipSwitch(unsigned number, bool closed) {
  if (number < 1 || number > std::size(kDipSwitches))
    throw std::invalid_argument("no DIP switch " + std::to_string(number));
  parts_[number - 1]->set(closed ? Drive::Low : Drive::None);
}

void Board::wire() {
  using B = Rcc::Bus;
  // Each block RCC gates is clocked and held in reset by its bits there.
  bus_.map(TIM2_BASE, 0x400, tim2_);
  rcc_.attach(B::APB1, RCC_APB1ENR_TIM2EN, tim2_);
  bus_.map(USART3_BASE, 0x400, usart3_);
  rcc_.attach(B::APB1, RCC_APB1ENR_USART3EN, usart3_);
  bus_.map(I2C1_BASE, 0x400, *i2c1_);
  rcc_.attach(B::APB1, RCC_APB1ENR_I2C1EN, *i2c1_);
  bus_.map(I2C2_BASE, 0x400, *i2c2_);
  rcc_.attach(B::APB1, RCC_APB1ENR_I2C2EN, *i2c2_);
  bus_.map(PWR_BASE, 0x400, pwr_);
  rcc_.attach(B::APB1, RCC_APB1ENR_PWREN, pwr_);
  bus_.map(USART1_BASE, 0x400, usart1_);
  rcc_.attach(B::APB2, RCC_APB2ENR_USART1EN, usart1_);
  for (std::size_t i = 0; i < gpio_.size(); ++i) {
    bus_.map(kGpioBases[i], 0x400, *gpio_[i]);
    rcc_.attach(B::AHB, kGpioEnable[i], *gpio_[i]);
  }
  bus_.map(RCC_BASE, 0x400, rcc_);
  bus_.map(FLASH_R_BASE, 0x400, flash_);
  bus_.map(SysTick_BASE, 0x10, sysTick_);
  bus_.map(NVIC_BASE, offsetof(NVIC_TypeDef, IP) + sizeof(NVIC_TypeDef::IP), nvic_);
  bus_.map(SCB_BASE, sizeof(SCB_TypeDef), scb_);
  bus_.map(NVIC_BASE + offsetof(NVIC_TypeDef, STIR), 4, stir_);

  // The serial ports reach the line through their pins, alternate function 7.
  constexpr unsigned kUsartFunction = 7;
  gpio('A').attachFunction(9, kUsartFunction, usart1_.txPin());
  gpio('A').attachFunction(10, kUsartFunction, usart1_.rxPin());
  gpio('C').attachFunction(10, kUsartFunction, usart3_.txPin());
  gpio('C').attachFunction(11, kUsartFunction, usart3_.rxPin());
  // The I2C peripherals drive SCL and SDA through alternate function 4.
  constexpr unsigned kI2cFunction = 4;
  gpio('B').attachFunction(6, kI2cFunction, i2c1_->sclPin());
  gpio('B').attachFunction(7, kI2cFunction, i2c1_->sdaPin());
  gpio('B').attachFunction(10, kI2cFunction, i2c2_->sclPin());
  gpio('B').attachFunction(11, kI2cFunction, i2c2_->sdaPin());

  // The board's parts on the pins. A DIP switch joins its line to ground when
  // closed and leaves it alone when open (the firmware's pull-up then reads
  // high); the I2C buses carry pull-up resistors on the board. The input ports
  // IN1-IN4 float unless something is connected, and nothing outside drives
  // the LED lines.
  for (const char* dip : kDipSwitches) {
    parts_.push_back(std::make_unique<NetDriver>(net(*findPin(dip)), std::string(dip) + " switch"));
  }
  for (const char* line : kI2cLines) {
    parts_.push_back(std::make_unique<NetDriver>(net(*findPin(line)), "board pull-up"));
    parts_.back()->set(Drive::PullUp);
  }
}

void Board::removeSensorChip(std::uint8_t address) {
  for (I2cTarget* chip : sensors_->i2cTargets()) {
    if (chip->address() == address) i2cBus1_->detach(*chip);
  }
}

void Board::setI2cFault(std::uint8_t address, I2cFault fault) {
  i2cBus1_->setFault(address, fault);
  i2cBus2_->setFault(address, fault);
}

void Board::clearI2cFaults() {
  i2cBus1_->clearFaults();
  i2cBus2_->clearFaults();
}

void Board::warn(const std::string& text) {
  if (warnings_.empty()) {
    std::fprintf(stderr, "tl500-sim: warning: %s\n", text.c_str());
  } else {
    warnings_(text);
  }
}

void Board::spendUpToAccess(std::uint32_t address, unsigned width, bool read) {
  if (!hostSeeded()) {
    clock_.spendCycles(kCyclesPerAccess);
    return;
  }
  if (read && polls_.isPoll(address, width)) {
    clock_.spendCycles(pollCycles_);
    return;
  }
  const bool longStretch = accessCycles_.between(0, 3) == 0;
  const std::uint64_t cycles = longStretch ? accessCycles_.between(kShortMaxCyclesPerAccess, kMaxCyclesPerAccess)
                                           : accessCycles_.between(kMinCyclesPerAccess, kShortMaxCyclesPerAccess);
  clock_.spendCycles(static_cast<std::uint32_t>(cycles));
}

void Board::takeBeforeAccess() {
  if (deferredTake_) {
    deferredTake_ = false;
    interrupts_.takePending();
    return;
  }
  // The core takes an exception at the first instruction boundary after it
  // pended: somewhere in the code before the access, or between the access
  // and the code after it. Both are drawn; without a seed only the latter.
  if (!hostSeeded() || interrupts_.nextToTake() < 0) return;
  if (interruptPoint_.between(0, 1) == 0) interrupts_.takePending();
}

std::uint32_t Board::firmwareRead(std::uint32_t address, unsigned width) {
  // When the poll skipping looked at this very slot and found the register
  // changed (or, with a seed, an interrupt to take), the slot's cycles are
  // spent and its events have run: the firmware's read happens now, as it
  // would have without the skipping.
  if (!polls_.takeDue(address, width)) spendUpToAccess(address, width, true);
  takeBeforeAccess();
  ++accesses_;
  std::uint32_t value = bus_.read(address, width);
  lastAccess_ = RegisterAccess{address, width, false, value, accesses_};
  const std::uint64_t taken = interrupts_.taken();
  interrupts_.takePending();
  polls_.read(address, width, value, interrupts_.taken() != taken);
  return value;
}

void Board::firmwareWrite(std::uint32_t address, unsigned width, std::uint32_t value) {
  polls_.checkNoneDue("a skipped poll loop went on with a write instead of its poll");
  spendUpToAccess(address, width, false);
  takeBeforeAccess();
  ++accesses_;
  bus_.write(address, width, value);
  lastAccess_ = RegisterAccess{address, width, true, value, accesses_};
  interrupts_.takePending();
}

std::uint32_t Board::firmwarePollsSkipped(std::uint32_t more) {
  if (!pollSkipping_) return 0;
  return polls_.skip(more, hostSeeded() ? pollCycles_ : kCyclesPerAccess, hostSeeded(),
                     [this](std::uint32_t address, unsigned width, std::uint32_t value) {
                       lastAccess_ = RegisterAccess{address, width, false, value, accesses_};
                     });
}

void Board::firmwareIdle() {
  polls_.checkNoneDue("a skipped poll loop went idle instead of making its poll");
  polls_.forget();
  const bool deferred = deferredTake_;
  deferredTake_ = false;
  const std::uint64_t taken = interrupts_.taken();
  interrupts_.takePending();
  // A handler left for later ran now: the loop looks at what it did first.
  if (deferred && interrupts_.taken() != taken) return;
  if (!clock_.runToNextEvent()) {
    throw Stop(StopKind::Fault, "the firmware waits for something that can never happen: nothing is left to run");
  }
  // With a seed the event may land anywhere in the pass of the main loop that
  // is waiting: the handler runs now, or at the pass's next register access.
  if (hostSeeded() && interrupts_.nextToTake() >= 0 && interruptPoint_.between(0, 1) == 1) {
    deferredTake_ = true;
    return;
  }
  interrupts_.takePending();
}

void Board::firmwareSetPrimask(bool masked) {
  interrupts_.setPrimask(masked);
  if (!masked) interrupts_.takePending();
}

}  // namespace sim
