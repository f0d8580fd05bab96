#include "gpio_port.h"

#include <cstddef>

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

constexpr unsigned kPins = 16;

std::uint32_t field2(std::uint32_t reg, unsigned pin) { return (reg >> (pin * 2u)) & 3u; }

}  // namespace

GpioPort::GpioPort(char letter, ResetValues resetValues)
    : letter_(letter),
      resetValues_(resetValues),
      moder_(resetValues.moder),
      otyper_(resetValues.otyper),
      ospeedr_(resetValues.ospeedr),
      pupdr_(resetValues.pupdr) {
  floating_.fill(Level::Low);
}

GpioPort::Mode GpioPort::mode(unsigned pin) const { return static_cast<Mode>(field2(moder_, pin)); }

GpioPort::Pull GpioPort::pull(unsigned pin) const { return static_cast<Pull>(field2(pupdr_, pin)); }

bool GpioPort::openDrain(unsigned pin) const { return ((otyper_ >> pin) & 1u) != 0; }

unsigned GpioPort::alternateFunction(unsigned pin) const { return (afr_[pin >> 3] >> ((pin & 7u) * 4u)) & 0xFu; }

bool GpioPort::latch(unsigned pin) const { return ((odr_ >> pin) & 1u) != 0; }

Level GpioPort::level(unsigned pin) const {
  if (driven_[pin]) return *driven_[pin];
  switch (mode(pin)) {
    case Mode::Output:
      // Push-pull drives both ways; open-drain only pulls low and otherwise
      // leaves the line to its pull or to whatever holds it.
      if (!openDrain(pin)) return latch(pin) ? Level::High : Level::Low;
      if (!latch(pin)) return Level::Low;
      break;
    case Mode::Alternate:
      // The peripheral's side of the pin is idle: serial TX lines and the I2C
      // bus (pulled up on the board) rest high.
      return Level::High;
    case Mode::Input:
    case Mode::Analog:
      break;
  }
  switch (pull(pin)) {
    case Pull::Up:
      return Level::High;
    case Pull::Down:
      return Level::Low;
    case Pull::None:
      break;
  }
  return floating_[pin];
}

std::array<Level, 16> GpioPort::levels() const {
  std::array<Level, 16> out{};
  for (unsigned pin = 0; pin < kPins; ++pin) out[pin] = level(pin);
  return out;
}

void GpioPort::notifyChanges(const std::array<Level, 16>& before) {
  std::array<Level, 16> after = levels();
  for (unsigned pin = 0; pin < kPins; ++pin) {
    if (after[pin] == before[pin]) continue;
    for (auto& observer : observers_) observer(pin, after[pin]);
  }
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
    case kIdr: {
      std::array<Level, 16> now = levels();
      for (unsigned pin = 0; pin < kPins; ++pin) {
        if (now[pin] == Level::High) slot |= 1u << pin;
      }
      break;
    }
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
  std::array<Level, 16> before = levels();
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
      break;  // read-only
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
      break;
    case kAfrl:
      afr_[0] = slotMerge(afr_[0], offset, width, value);
      break;
    case kAfrh:
      afr_[1] = slotMerge(afr_[1], offset, width, value);
      break;
    default:
      break;  // reserved space ignores writes
  }
  notifyChanges(before);
}

void GpioPort::reset() {
  std::array<Level, 16> before = levels();
  moder_ = resetValues_.moder;
  otyper_ = resetValues_.otyper;
  ospeedr_ = resetValues_.ospeedr;
  pupdr_ = resetValues_.pupdr;
  odr_ = 0;
  lckr_ = 0;
  afr_ = {};
  notifyChanges(before);
}

void GpioPort::drive(unsigned pin, std::optional<Level> level) {
  if (pin >= kPins) return;
  std::array<Level, 16> before = levels();
  driven_[pin] = level;
  notifyChanges(before);
}

void GpioPort::setFloatingLevel(unsigned pin, Level level) {
  if (pin >= kPins) return;
  std::array<Level, 16> before = levels();
  floating_[pin] = level;
  notifyChanges(before);
}

}  // namespace sim
