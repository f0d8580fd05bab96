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

void PinFunction::set(Drive drive) {
  if (drive == drive_) return;
  drive_ = drive;
  // Not routed: its driver already lets go, and stays so until the port routes it.
  if (routedDriver_ != nullptr) routedDriver_->set(openDrain_ && drive == Drive::High ? Drive::None : drive);
}

PinFunction::~PinFunction() {
  if (port_ != nullptr) port_->detachFunction(*this);
}

bool PinFunction::routed() const {
  if (port_ == nullptr || port_->mode(pin_) != GpioPort::Mode::Alternate) return false;
  for (const auto& attached : port_->drivers_[pin_].functions) {
    if (attached.function == this) return port_->alternateFunction(pin_) == attached.af;
  }
  return false;
}

Level PinFunction::level() const { return routed() ? net_->level() : Level::High; }

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

// The port hears its nets only once someone listens to its levels: most
// changes (I2C bits) then cost no call at all.
Subscription GpioPort::onLevelChange(std::function<void(unsigned, Level)> listener) {
  if (netSubscriptions_.empty()) {
    for (unsigned pin = 0; pin < kPins; ++pin) {
      netSubscriptions_.push_back(pins_[pin]->onChange([this, pin](Level level) { levelListeners_(pin, level); }));
    }
  }
  return levelListeners_.add(std::move(listener));
}

GpioPort::~GpioPort() {
  // The nets outlive the port: stop hearing them before the drivers let go.
  netSubscriptions_.clear();
  for (auto& d : drivers_) {
    for (auto& attached : d.functions) {
      attached.function->port_ = nullptr;
      attached.function->net_ = nullptr;
      attached.function->routedDriver_ = nullptr;
    }
  }
}

GpioPort::Mode GpioPort::mode(unsigned pin) const { return static_cast<Mode>(field2(moder_, pin)); }

GpioPort::Pull GpioPort::pull(unsigned pin) const { return static_cast<Pull>(field2(pupdr_, pin)); }

bool GpioPort::openDrain(unsigned pin) const { return ((otyper_ >> pin) & 1u) != 0; }

unsigned GpioPort::alternateFunction(unsigned pin) const { return (afr_[pin >> 3] >> ((pin & 7u) * 4u)) & 0xFu; }

bool GpioPort::latch(unsigned pin) const { return ((odr_ >> pin) & 1u) != 0; }

void GpioPort::attachFunction(unsigned pin, unsigned af, PinFunction& function) {
  if (pin >= kPins || af > 15 || function.port_ != nullptr) {
    throw std::logic_error(name() + ": cannot attach " + function.name() + " to pin " + std::to_string(pin));
  }
  function.port_ = this;
  function.pin_ = pin;
  function.net_ = pins_[pin];
  drivers_[pin].functions.push_back({af, &function, std::make_unique<NetDriver>(*pins_[pin], function.name())});
  refresh(pin);
  if (function.attached_) function.attached_(*pins_[pin]);
}

void GpioPort::detachFunction(PinFunction& function) {
  std::erase_if(drivers_[function.pin_].functions, [&](const Attached& a) { return a.function == &function; });
  function.port_ = nullptr;
  function.net_ = nullptr;
  function.routedDriver_ = nullptr;
}

void GpioPort::refresh(unsigned pin) {
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
  for (auto& a : d.functions) {
    const bool selected = m == Mode::Alternate && alternateFunction(pin) == a.af;
    a.function->routedDriver_ = selected ? a.driver.get() : nullptr;
    a.function->openDrain_ = od;
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
