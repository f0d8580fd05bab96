#include "gpio_port.h"

#include <cstddef>
#include <stdexcept>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {

constexpr std::uint32_t kModer = offsetof(GPIO_TypeDef, MODER);
constexpr std::uint32_t kOtyper = offsetof(GPIO_TypeDef, OTYPER);
constexpr std::uint32_t kOspeedr = offsetof(GPIO_TypeDef, OSPEEDR);
constexpr std::uint32_t kPupdr = offsetof(GPIO_TypeDef, PUPDR);
constexpr std::uint32_t kIdr = offsetof(GPIO_TypeDef, IDR);
constexpr std::uint32_t kOdr = offsetof(GPIO_TypeDef, ODR);
constexpr std::uint32_t kBsrr = offsetof(GPIO_TypeDef, BSRR);
constexpr std::uint32_t kLckr = offsetof(GPIO_TypeDef, LCKR);
constexpr std::uint32_t kAfrl = offsetof(GPIO_TypeDef, AFR[0]);
constexpr std::uint32_t kAfrh = offsetof(GPIO_TypeDef, AFR[1]);

std::uint32_t field2(std::uint32_t reg, unsigned pin) { return (reg >> (pin * 2u)) & 3u; }

}  // namespace

bool GpioPort::routes(const PinFunction& function) const {
  unsigned pin = pinOf(function);
  if (mode(pin) != Mode::Alternate) return false;
  for (const auto& attached : drivers_[pin].functions) {
    if (attached.function == &function) return alternateFunction(pin) == attached.af;
  }
  return false;
}

GpioPort::GpioPort(char letter, ResetValues resetValues, const std::array<Net*, kPins>& pins)
    : letter_(letter),
      resetValues_(resetValues),
      pins_(pins),
      moder_(resetValues.moder),
      otyper_(resetValues.otyper),
      ospeedr_(resetValues.ospeedr),
      pupdr_(resetValues.pupdr) {
  std::string port = name();
  for (unsigned pin = 0; pin < kPins; ++pin) {
    drivers_[pin].output = std::make_unique<NetDriver>(*pins_[pin], port + " output");
    drivers_[pin].pull = std::make_unique<NetDriver>(*pins_[pin], port + " pull");
  }
  refreshAll();
}

// The port hears its pins only once someone listens to it: a listener of every
// edge keeps a serial line's frames from travelling whole.
Subscription GpioPort::onLevelChange(std::function<void(unsigned, Level)> listener) {
  if (netSubscriptions_.empty()) {
    for (unsigned pin = 0; pin < kPins; ++pin) {
      netSubscriptions_.push_back(pins_[pin]->onChange([this, pin](Level level) { levelListeners_(pin, level); }));
    }
  }
  return levelListeners_.add(std::move(listener));
}

NetDriver* GpioPort::directDriver(const PinFunction& function) const {
  unsigned pin = pinOf(function);
  if (mode(pin) != Mode::Alternate || openDrain(pin)) return nullptr;
  for (const auto& attached : drivers_[pin].functions) {
    if (attached.function == &function) return alternateFunction(pin) == attached.af ? attached.driver.get() : nullptr;
  }
  return nullptr;
}

void GpioPort::cutCarriedFrames() {
  for (Net* net : pins_) {
    if (net->carrying()) net->cutCarriedFrame();
  }
}

GpioPort::~GpioPort() {
  // The nets outlive the port: stop hearing them before the drivers let go.
  netSubscriptions_.clear();
  for (auto& d : drivers_) {
    for (auto& attached : d.functions) unbind(*attached.function);
  }
}

GpioPort::Mode GpioPort::mode(unsigned pin) const { return static_cast<Mode>(field2(moder_, pin)); }

GpioPort::Pull GpioPort::pull(unsigned pin) const { return static_cast<Pull>(field2(pupdr_, pin)); }

bool GpioPort::openDrain(unsigned pin) const { return ((otyper_ >> pin) & 1u) != 0; }

unsigned GpioPort::alternateFunction(unsigned pin) const { return (afr_[pin >> 3] >> ((pin & 7u) * 4u)) & 0xFu; }

bool GpioPort::latch(unsigned pin) const { return ((odr_ >> pin) & 1u) != 0; }

void GpioPort::attachFunction(unsigned pin, unsigned af, PinFunction& function) {
  if (pin >= kPins || af > 15 || function.net() != nullptr) {
    throw std::logic_error(name() + ": cannot attach " + function.name() + " to pin " + std::to_string(pin));
  }
  bind(function, *this, pin, *pins_[pin]);
  drivers_[pin].functions.push_back({af, &function, std::make_unique<NetDriver>(*pins_[pin], function.name())});
  refresh(pin);
  announce(function);
}

void GpioPort::detachFunction(PinFunction& function) {
  std::erase_if(drivers_[pinOf(function)].functions, [&](const Attached& a) { return a.function == &function; });
  unbind(function);
}

void GpioPort::refresh(unsigned pin) {
  if (pins_[pin]->carrying()) pins_[pin]->cutCarriedFrame();
  Mode m = mode(pin);
  bool od = openDrain(pin);
  PinDrivers& d = drivers_[pin];

  Drive output = Drive::None;
  if (m == Mode::Output) {
    if (latch(pin)) {
      output = od ? Drive::None : Drive::High;
    } else {
      output = Drive::Low;
    }
  }
  Drive pullDrive = Drive::None;
  if (m != Mode::Analog) {
    // The pull resistors stay connected in every digital mode, outputs included.
    Pull p = pull(pin);
    pullDrive = p == Pull::Up ? Drive::PullUp : p == Pull::Down ? Drive::PullDown : Drive::None;
  }
  auto functionDrive = [&](const Attached& a) {
    if (m != Mode::Alternate || alternateFunction(pin) != a.af) return Drive::None;
    Drive want = a.function->drive();
    return od && want == Drive::High ? Drive::None : want;
  };

  // Let go first, then drive.
  if (output == Drive::None) d.output->set(Drive::None);
  if (pullDrive == Drive::None) d.pull->set(Drive::None);
  for (auto& a : d.functions) {
    if (functionDrive(a) == Drive::None) a.driver->set(Drive::None);
  }
  d.output->set(output);
  d.pull->set(pullDrive);
  for (auto& a : d.functions) a.driver->set(functionDrive(a));
}

// Only the function's own driver can change: the pin's mode, output and pulls
// stand, so this is refresh() for one driver (a serial line's every bit).
void GpioPort::functionChanged(const PinFunction& function) {
  unsigned pin = pinOf(function);
  for (auto& a : drivers_[pin].functions) {
    if (a.function != &function) continue;
    Drive drive = Drive::None;
    if (mode(pin) == Mode::Alternate && alternateFunction(pin) == a.af) {
      drive = function.drive();
      if (openDrain(pin) && drive == Drive::High) drive = Drive::None;
    }
    a.driver->set(drive);
    return;
  }
}

void GpioPort::refreshAll() {
  for (unsigned pin = 0; pin < kPins; ++pin) refresh(pin);
}

std::uint32_t GpioPort::read(std::uint32_t offset, unsigned width) {
  std::uint32_t slot = 0;
  switch (offset & ~3u) {
    case kModer:
      slot = moder_;
      break;
    case kOtyper:
      slot = otyper_;
      break;
    case kOspeedr:
      slot = ospeedr_;
      break;
    case kPupdr:
      slot = pupdr_;
      break;
    case kIdr:
      // An analog pin's input buffer is off: it reads 0 whatever the line does.
      for (unsigned pin = 0; pin < kPins; ++pin) {
        if (mode(pin) != Mode::Analog && pins_[pin]->level() == Level::High) slot |= 1u << pin;
      }
      break;
    case kOdr:
      slot = odr_;
      break;
    case kBsrr:
      slot = 0;
      break;  // write-only
    case kLckr:
      slot = lckr_;
      break;
    case kAfrl:
      slot = afr_[0];
      break;
    case kAfrh:
      slot = afr_[1];
      break;
    default:
      slot = 0;
      break;  // reserved space reads as zero
  }
  return slotPart(slot, offset, width);
}

void GpioPort::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  // A change of mode, type, pull or function may change what a serial
  // function drives: its frame goes edge by edge before the registers change.
  // The latch does not reach an alternate-function pin.
  switch (offset & ~3u) {
    case kModer:
    case kOtyper:
    case kPupdr:
    case kAfrl:
    case kAfrh:
      cutCarriedFrames();
      break;
    default:
      break;
  }
  const std::uint32_t moder = moder_, otyper = otyper_, pupdr = pupdr_, odr = odr_;
  const std::array<std::uint32_t, 2> afr = afr_;
  switch (offset & ~3u) {
    case kModer:
      moder_ = slotMerge(moder_, offset, width, value);
      break;
    case kOtyper:
      otyper_ = slotMerge(otyper_, offset, width, value) & 0xFFFFu;
      break;
    case kOspeedr:
      ospeedr_ = slotMerge(ospeedr_, offset, width, value);
      break;
    case kPupdr: {
      std::uint32_t next = slotMerge(pupdr_, offset, width, value);
      for (unsigned pin = 0; pin < kPins; ++pin) {
        if (field2(next, pin) == 3u) {
          throw Stop(StopKind::Fault, name() + ": reserved pull setting 11 written for pin P" +
                                          std::string(1, letter_) + std::to_string(pin));
        }
      }
      pupdr_ = next;
      break;
    }
    case kIdr:
      return;  // read-only
    case kOdr:
      odr_ = slotMerge(odr_, offset, width, value) & 0xFFFFu;
      break;
    case kBsrr: {
      // Low half sets, high half resets; a pin named in both ends up set.
      std::uint32_t bits = slotMerge(0, offset, width, value);
      std::uint32_t set = bits & 0xFFFFu;
      std::uint32_t clear = bits >> 16;
      odr_ = (odr_ & ~clear) | set;
      break;
    }
    case kLckr:
      lckr_ = slotMerge(lckr_, offset, width, value);
      return;
    case kAfrl:
      afr_[0] = slotMerge(afr_[0], offset, width, value);
      break;
    case kAfrh:
      afr_[1] = slotMerge(afr_[1], offset, width, value);
      break;
    default:
      return;  // reserved space ignores writes
  }
  // Only the pins whose mode, type, pull, latch or function changed need
  // their drivers set again.
  std::uint32_t changed = (otyper ^ otyper_) | (odr ^ odr_);
  for (unsigned pin = 0; pin < kPins; ++pin) {
    if ((field2(moder ^ moder_, pin) | field2(pupdr ^ pupdr_, pin)) != 0) changed |= 1u << pin;
    if (((afr[pin >> 3] ^ afr_[pin >> 3]) >> ((pin & 7u) * 4u) & 0xFu) != 0) changed |= 1u << pin;
  }
  for (unsigned pin = 0; pin < kPins; ++pin) {
    if ((changed >> pin) & 1u) refresh(pin);
  }
}

void GpioPort::reset() {
  cutCarriedFrames();
  moder_ = resetValues_.moder;
  otyper_ = resetValues_.otyper;
  ospeedr_ = resetValues_.ospeedr;
  pupdr_ = resetValues_.pupdr;
  odr_ = 0;
  lckr_ = 0;
  afr_ = {};
  refreshAll();
}

}  // namespace sim
