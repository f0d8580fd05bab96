#include "register_file_target.h"

namespace sim {

RegisterFileTarget::RegisterFileTarget(std::uint8_t address, std::string name)
    : address_(address), name_(std::move(name)) {}

bool RegisterFileTarget::start(bool read) {
  reading_ = read;
  pointerSet_ = false;
  stretchDue_ = read && readStretch_ != 0;
  ++transactions_;
  return true;
}

bool RegisterFileTarget::write(std::uint8_t byte) {
  if (reading_) return false;
  if (!pointerSet_) {
    pointer_ = byte;
    pointerSet_ = true;
  } else {
    regs_[pointer_++] = byte;
  }
  return true;
}

std::uint8_t RegisterFileTarget::read() { return regs_[pointer_++]; }

void RegisterFileTarget::stop() { pointerSet_ = false; }

Time RegisterFileTarget::stretch(Time /*now*/) {
  if (!stretchDue_) return 0;
  stretchDue_ = false;
  return readStretch_;
}

}  // namespace sim
