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
  net_.cutCarriedFrame();
  drive_ = Drive::None;
  net_.detach(*this);
}

void NetDriver::set(Drive drive) {
  // Whatever acts on a net carrying a frame whole sees the line as it is now.
  if (net_.carrier_ != nullptr) net_.cutCarriedFrame();
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

Net::~Net() {
  *alive_ = false;
  if (carrier_ != nullptr) carrier_->netGone();
}

Time Net::clockNow() const { return clock_->now(); }

Subscription Net::onChange(std::function<void(Level)> listener) {
  cutCarriedFrame();
  ++edgeListeners_;
  auto inner = std::make_shared<Subscription>(listeners_.add(std::move(listener)));
  return Subscription([this, inner, alive = alive_] {
    inner->reset();
    if (*alive) --edgeListeners_;
  });
}

Subscription Net::onFrames(NetFrameListener& receiver, std::function<void(Level)> edge) {
  cutCarriedFrame();
  receivers_.push_back(&receiver);
  auto inner = std::make_shared<Subscription>(listeners_.add(std::move(edge)));
  // A receiver that leaves takes no part in a frame carried now: the frame
  // goes on for the others.
  return Subscription([this, inner, alive = alive_, who = &receiver] {
    inner->reset();
    if (*alive) std::erase(receivers_, who);
  });
}

bool Net::carry(NetDriver& driver, const LineFrame& frame, NetCarrier& sender) {
  if (carrier_ != nullptr || clock_ == nullptr || edgeListeners_ != 0) return false;
  if (&driver.net() != this || driver.drive() != Drive::High || level_ != Level::High) return false;
  for (const NetDriver* d : drivers_) {
    if (d != &driver && (d->drive() == Drive::Low || d->drive() == Drive::High)) return false;
  }
  for (const NetFrameListener* r : receivers_) {
    if (!r->canTakeFrame(frame)) return false;
  }
  carrier_ = &sender;
  carriedDriver_ = &driver;
  carried_ = frame;
  for (NetFrameListener* r : receivers_) r->takeFrame(frame);
  return true;
}

void Net::carryDone() {
  // The frame ends at idle high, where the driver and the net stood all along.
  carrier_ = nullptr;
  carriedDriver_ = nullptr;
}

void Net::cutCarriedFrame() {
  if (carrier_ == nullptr) return;
  NetCarrier* sender = carrier_;
  const LineFrame frame = carried_;
  carrier_ = nullptr;
  // The net and the driver take the frame's level of this instant without a
  // notification: the receivers learn the edges so far from the frame, and
  // no other listener was there to hear them.
  Level now = frame.levelAt(clock_->now());
  carriedDriver_->drive_ = now == Level::High ? Drive::High : Drive::Low;
  carriedDriver_ = nullptr;
  level_ = now;
  std::vector<NetFrameListener*> receivers = receivers_;
  for (NetFrameListener* r : receivers) r->frameCut(frame);
  sender->carryCut(frame);
}

bool Net::floating() const {
  return std::all_of(drivers_.begin(), drivers_.end(), [](const NetDriver* d) { return d->drive() == Drive::None; });
}

void Net::setFloatingLevel(Level level) {
  cutCarriedFrame();
  floatingLevel_ = level;
  settle();
}

std::string Net::describeDrivers() const {
  std::string out;
  for (const NetDriver* d : drivers_) {
    Drive drive = d->drive();
    if (d == carriedDriver_) drive = level() == Level::High ? Drive::High : Drive::Low;
    if (drive == Drive::None) continue;
    if (!out.empty()) out += ", ";
    out += d->name() + ": " + driveName(drive);
  }
  return out.empty() ? "nothing" : out;
}

void Net::attach(NetDriver& driver) {
  cutCarriedFrame();
  drivers_.push_back(&driver);
}

void Net::detach(NetDriver& driver) {
  cutCarriedFrame();
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
