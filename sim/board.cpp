#include "board.h"

#include <cstdio>
#include <stdexcept>

#include "../platform/platform_types.h"
#include "../platform/rcc.h"
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
constexpr std::uint32_t kGpioEnable[] = {RCC_AHBPeriph_GPIOA, RCC_AHBPeriph_GPIOB, RCC_AHBPeriph_GPIOC,
                                         RCC_AHBPeriph_GPIOD, RCC_AHBPeriph_GPIOE, RCC_AHBPeriph_GPIOH};
}  // namespace

std::optional<PinName> parsePin(const std::string& text) {
  if (text.size() < 3 || text.size() > 4 || text[0] != 'P') return std::nullopt;
  char port = text[1];
  bool known = false;
  for (char p : kPorts) known = known || p == port;
  if (!known) return std::nullopt;
  unsigned pin = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    pin = pin * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (pin > 15 || (text.size() == 4 && text[2] == '0')) return std::nullopt;
  return PinName{port, pin};
}

Board::Board(BoardConfig config)
    : interrupts_(clock_, std::move(config.vectors)),
      rcc_(clock_, RccConfig{config.crystal}),
      pwr_(clock_),
      usart1_("USART1", clock_, interrupts_, USART1_IRQn, [this] { return rcc_.pclk2Hz(); }),
      usart3_("USART3", clock_, interrupts_, USART3_IRQn, [this] { return rcc_.pclk1Hz(); }),
      sysTick_(clock_, interrupts_),
      tim2_("TIM2", clock_, interrupts_, TIM2_IRQn, [this] { return rcc_.apb1TimerHz(); }),
      i2cBus1_("I2C1", clock_),
      i2cBus2_("I2C2", clock_),
      i2c1_(
          "I2C1", clock_, interrupts_, {I2C1_EV_IRQn, I2C1_ER_IRQn}, [this] { return rcc_.pclk1Hz(); }, i2cBus1_,
          [this](const std::string& text) { warn(text); }),
      i2c2_(
          "I2C2", clock_, interrupts_, {I2C2_EV_IRQn, I2C2_ER_IRQn}, [this] { return rcc_.pclk1Hz(); }, i2cBus2_,
          [this](const std::string& text) { warn(text); }),
      console_("console", clock_, usart1_) {
  if (g_current != nullptr) throw std::logic_error("a virtual board exists already");
  for (char port : kPorts) {
    GpioPort::ResetValues values = port == 'A' ? kPortAReset : port == 'B' ? kPortBReset : kPortOtherReset;
    gpio_.push_back(std::make_unique<GpioPort>(port, values));
  }
  // The PIR sensor's output stage drives PH2 from power-on.
  sensors_ = std::make_unique<SensorChips>(clock_, [this](Level level) { gpio('H').drive(2, level); });
  // Every sensor chip sits on I2C1; the magnetometer answers only through the
  // motion sensor's bypass.
  for (I2cTarget* chip : sensors_->i2cTargets()) i2cBus1_.attach(*chip);
  wire();
  g_current = this;
}

Board::~Board() { g_current = nullptr; }

Board& Board::current() {
  if (g_current == nullptr) throw std::logic_error("no virtual board: register access without a board");
  return *g_current;
}

bool Board::exists() { return g_current != nullptr; }

GpioPort& Board::gpio(char port) {
  for (std::size_t i = 0; i < sizeof kPorts; ++i) {
    if (kPorts[i] == port) return *gpio_[i];
  }
  throw std::invalid_argument(std::string("no GPIO port ") + port);
}

void Board::wire() {
  using B = Rcc::Bus;
  bus_.map(TIM2_BASE, 0x400, tim2_, rcc_.gate(B::APB1, RCC_APB1Periph_TIM2));
  bus_.map(USART3_BASE, 0x400, usart3_, rcc_.gate(B::APB1, RCC_APB1Periph_USART3));
  bus_.map(I2C1_BASE, 0x400, i2c1_, rcc_.gate(B::APB1, RCC_APB1Periph_I2C1));
  bus_.map(I2C2_BASE, 0x400, i2c2_, rcc_.gate(B::APB1, RCC_APB1Periph_I2C2));
  bus_.map(PWR_BASE, 0x400, pwr_, rcc_.gate(B::APB1, RCC_APB1Periph_PWR));
  bus_.map(USART1_BASE, 0x400, usart1_, rcc_.gate(B::APB2, RCC_APB2Periph_USART1));
  for (std::size_t i = 0; i < gpio_.size(); ++i) {
    bus_.map(kGpioBases[i], 0x400, *gpio_[i], rcc_.gate(B::AHB, kGpioEnable[i]));
    rcc_.attachReset(B::AHB, kGpioEnable[i], *gpio_[i]);
  }
  bus_.map(RCC_BASE, 0x400, rcc_);
  bus_.map(FLASH_R_BASE, 0x400, flash_);
  bus_.map(SysTick_BASE, 0x10, sysTick_);
  bus_.map(NVIC_BASE, 0x400, interrupts_.nvicRegisters());
  bus_.map(SCB_BASE, 0x40, interrupts_.scbRegisters());
  bus_.map(NVIC_BASE + 0xE00, 4, interrupts_.softwareTriggerRegister());

  rcc_.attachReset(B::APB1, RCC_APB1Periph_TIM2, tim2_);
  rcc_.attachReset(B::APB1, RCC_APB1Periph_USART3, usart3_);
  rcc_.attachReset(B::APB1, RCC_APB1Periph_I2C1, i2c1_);
  rcc_.attachReset(B::APB1, RCC_APB1Periph_I2C2, i2c2_);
  rcc_.attachReset(B::APB1, RCC_APB1Periph_PWR, pwr_);
  rcc_.attachReset(B::APB2, RCC_APB2Periph_USART1, usart1_);

  // Floating inputs on this board read low unless something drives them.
}

void Board::setI2cFault(std::uint8_t address, I2cFault fault) {
  i2cBus1_.setFault(address, fault);
  i2cBus2_.setFault(address, fault);
}

void Board::clearI2cFaults() {
  i2cBus1_.clearFaults();
  i2cBus2_.clearFaults();
}

void Board::warn(const std::string& text) {
  if (warnings_.empty()) {
    std::fprintf(stderr, "tl500-sim: warning: %s\n", text.c_str());
  } else {
    warnings_(text);
  }
}

std::uint32_t Board::firmwareRead(std::uint32_t address, unsigned width) {
  clock_.spendCycles(kCyclesPerAccess);
  std::uint32_t value = bus_.read(address, width);
  interrupts_.takePending();
  return value;
}

void Board::firmwareWrite(std::uint32_t address, unsigned width, std::uint32_t value) {
  clock_.spendCycles(kCyclesPerAccess);
  bus_.write(address, width, value);
  interrupts_.takePending();
}

void Board::firmwareIdle() {
  interrupts_.takePending();
  if (!clock_.runToNextEvent()) {
    throw Stop(StopKind::Fault, "the firmware waits for something that can never happen: nothing is left to run");
  }
  interrupts_.takePending();
}

void Board::firmwareSetPrimask(bool masked) {
  interrupts_.setPrimask(masked);
  if (!masked) interrupts_.takePending();
}

}  // namespace sim
