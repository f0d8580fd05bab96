#include "pin_function.h"

namespace sim {

void PinMux::bind(PinFunction& function, PinMux& mux, unsigned pin, Net& net) {
  function.mux_ = &mux;
  function.pin_ = pin;
  function.net_ = &net;
}

void PinMux::announce(PinFunction& function) {
  if (function.attached_ && function.net_ != nullptr) function.attached_(*function.net_);
}

void PinMux::unbind(PinFunction& function) {
  function.mux_ = nullptr;
  function.net_ = nullptr;
}

unsigned PinMux::pinOf(const PinFunction& function) { return function.pin_; }

void PinFunction::set(Drive drive) {
  if (drive == drive_) return;
  drive_ = drive;
  if (mux_ != nullptr) mux_->functionChanged(*this);
}

PinFunction::~PinFunction() {
  if (mux_ != nullptr) mux_->detachFunction(*this);
}

bool PinFunction::routed() const { return mux_ != nullptr && mux_->routes(*this); }

Level PinFunction::level() const { return routed() ? net_->level() : Level::High; }

NetDriver* PinFunction::directDriver() const { return mux_ != nullptr ? mux_->directDriver(*this) : nullptr; }

}  // namespace sim
