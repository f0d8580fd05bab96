// The bridge between the core's peripheral accesses and the board's models:
// each access happens at its instruction's virtual time, and what it pended
// or scheduled moves the next boundary.
#include <string_view>

#include "../core/stop.h"
#include "cortex_m3.h"

namespace sim {

std::uint32_t CortexM3::read(std::uint32_t address, unsigned size) {
  return static_cast<std::uint32_t>(mmioRead(address, size));
}

void CortexM3::write(std::uint32_t address, unsigned size, std::uint32_t value) { mmioWrite(address, size, value); }

// Whatever a model throws is kept and thrown again once the stretch has
// ended, with the stretch's instructions counted.
std::uint64_t CortexM3::mmioRead(std::uint32_t address, unsigned size) {
  if (failed_) return 0;
  ++mmioAccesses_;
  try {
    sync();
    std::uint32_t value = board_.firmwareRead(address, size);
    if (!exact_) {
      std::uint32_t offset = 0;
      if (board_.pollSkipping() && board_.bus().steadyModel(address, offset) != nullptr) notePoll(address, size, value);
      afterAccess();
    }
    return value;
  } catch (...) {
    failAccess(address);
  }
  return 0;
}

// Called from a handler of what an access threw: a bus error is the image's
// fault at this instruction; anything else ends the run once the core stops.
void CortexM3::failAccess(std::uint32_t address) {
  try {
    throw;
  } catch (const Stop& stop) {
    if (stop.kind() == StopKind::Fault && std::string_view(stop.what()).starts_with("bus error")) {
      fault_ = Fault{stop.what(), cpu_->pc(), address};
    } else {
      pending_ = std::current_exception();
    }
  } catch (...) {
    pending_ = std::current_exception();
  }
  fail();
}

void CortexM3::mmioWrite(std::uint32_t address, unsigned size, std::uint32_t value) {
  if (failed_) return;
  ++mmioAccesses_;
  try {
    sync();
    board_.firmwareWrite(address, size, value);
    if (!exact_) afterAccess();
    return;
  } catch (...) {
    failAccess(address);
  }
}

// An access may have pended an exception that may run now (a write to the
// interrupt controller, an enable whose flag is set, an event run while the
// clock caught up): it is taken before the next instruction. Or it scheduled
// an event sooner than the boundary planned.
void CortexM3::afterAccess() {
  if (board_.interrupts().nextToTake() >= 0) {
    cpu_->limit = cpu_->count;
    recheck_ = true;
    return;
  }
  cpu_->limit = std::min(cpu_->limit, cpu_->count + forward_.cyclesToNextEvent());
}

}  // namespace sim
