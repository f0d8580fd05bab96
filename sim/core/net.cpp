#include "net.h"

#include <algorithm>

#include "clock.h"
#include "stop.h"

namespace sim {

const char* driveName(Drive drive) {
  switch (drive) {
    case Drive::None:
      return "nothing";
    case Drive::PullDown:
      return "pull-down";
    case Drive::PullUp:
      return "pull-up";
    case Drive::Low:
      return "low";
    case Drive::High:
      return "high";
  }
  return "?";
}

NetDriver::NetDriver(Net& net, std::string name) : net_(net), name_(std::move(name)) { net_.attach(*this); }

NetDriver::~NetDriver() {
  drive_ = Drive::None;
  net_.detach(*this);
}

void NetDriver::set(Drive drive) {
  if (drive == drive_) return;
  Drive before = drive_;
  drive_ = drive;
  try {
    net_.settle();
  } catch (...) {
    // A short ends the run; the driver keeps what it was last allowed to do,
    // so that nothing reads a net in an impossible state afterwards.
    drive_ = before;
    throw;
  }
}

Net::Net(std::string name, const Clock* clock, Level floatingLevel)
    : name_(std::move(name)), clock_(clock), floatingLevel_(floatingLevel), level_(floatingLevel) {}

Net::~Net() = default;

bool Net::floating() const {
  return std::all_of(drivers_.begin(), drivers_.end(), [](const NetDriver* d) { return d->drive() == Drive::None; });
}

void Net::setFloatingLevel(Level level) {
  floatingLevel_ = level;
  settle();
}

std::string Net::describeDrivers() const {
  std::string out;
  for (const NetDriver* d : drivers_) {
    if (d->drive() == Drive::None) continue;
    if (!out.empty()) out += ", ";
    out += d->name() + ": " + driveName(d->drive());
  }
  return out.empty() ? "nothing" : out;
}

void Net::attach(NetDriver& driver) { drivers_.push_back(&driver); }

void Net::detach(NetDriver& driver) {
  std::erase(drivers_, &driver);
  settle();
}

void Net::settle() {
  const NetDriver* strongLow = nullptr;
  const NetDriver* strongHigh = nullptr;
  bool pullUp = false, pullDown = false;
  for (const NetDriver* d : drivers_) {
    switch (d->drive()) {
      case Drive::Low:
        if (strongLow == nullptr) strongLow = d;
        break;
      case Drive::High:
        if (strongHigh == nullptr) strongHigh = d;
        break;
      case Drive::PullUp:
        pullUp = true;
        break;
      case Drive::PullDown:
        pullDown = true;
        break;
      case Drive::None:
        break;
    }
  }
  if (strongLow != nullptr && strongHigh != nullptr) {
    std::string when = clock_ != nullptr ? " at " + formatTime(clock_->now()) : std::string();
    throw Stop(StopKind::Short, "short circuit on " + name_ + when + ": " + strongHigh->name() + " drives high, " +
                                    strongLow->name() + " drives low");
  }
  Level next = floatingLevel_;
  if (strongLow != nullptr) {
    next = Level::Low;
  } else if (strongHigh != nullptr) {
    next = Level::High;
  } else if (pullUp != pullDown) {
    // Opposing pulls leave the net somewhere in between: it reads as floating.
    next = pullUp ? Level::High : Level::Low;
  }
  if (next == level_) return;
  level_ = next;
  listeners_(next);
}

}  // namespace sim
