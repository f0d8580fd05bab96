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
  Drive before = drive_;
  drive_ = Drive::None;
  net_.detach(*this, before);
}

void NetDriver::set(Drive drive) {
  if (drive == drive_) return;
  Drive before = drive_;
  drive_ = drive;
  net_.count(before, drive);
  try {
    net_.settle();
  } catch (...) {
    // A short ends the run; the driver keeps what it was last allowed to do,
    // so that nothing reads a net in an impossible state afterwards.
    drive_ = before;
    net_.count(drive, before);
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

void Net::attach(NetDriver& driver) {
  drivers_.push_back(&driver);
  ++driving_[static_cast<std::size_t>(driver.drive())];
}

void Net::detach(NetDriver& driver, Drive drive) {
  std::erase(drivers_, &driver);
  --driving_[static_cast<std::size_t>(drive)];
  settle();
}

// Two strong drivers disagree: the run ends naming the first of each.
void Net::shorted() const {
  const NetDriver* strongLow = nullptr;
  const NetDriver* strongHigh = nullptr;
  for (const NetDriver* d : drivers_) {
    if (d->drive() == Drive::Low && strongLow == nullptr) strongLow = d;
    if (d->drive() == Drive::High && strongHigh == nullptr) strongHigh = d;
  }
  std::string when = clock_ != nullptr ? " at " + formatTime(clock_->now()) : std::string();
  throw Stop(StopKind::Short, "short circuit on " + name_ + when + ": " + strongHigh->name() + " drives high, " +
                                  strongLow->name() + " drives low");
}

void Net::settle() {
  const bool strongLow = driving_[static_cast<std::size_t>(Drive::Low)] != 0;
  const bool strongHigh = driving_[static_cast<std::size_t>(Drive::High)] != 0;
  const bool pullUp = driving_[static_cast<std::size_t>(Drive::PullUp)] != 0;
  const bool pullDown = driving_[static_cast<std::size_t>(Drive::PullDown)] != 0;
  if (strongLow && strongHigh) shorted();
  Level next = floatingLevel_;
  if (strongLow) {
    next = Level::Low;
  } else if (strongHigh) {
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
