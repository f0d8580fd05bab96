#include "interrupt_controller.h"

#include <cstdio>

#include "clock.h"
#include "stop.h"

namespace sim {

namespace {
constexpr std::uint32_t kCpuId = 0x412FC231u;  // Cortex-M3 r2p1
constexpr std::uint32_t kIcsrPendStSet = 1u << 26;
constexpr std::uint32_t kIcsrPendStClr = 1u << 25;
constexpr std::uint32_t kIcsrPendSvSet = 1u << 28;
constexpr std::uint32_t kIcsrPendSvClr = 1u << 27;
constexpr std::uint32_t kAircrKey = 0x05FAu;
constexpr std::uint32_t kAircrKeyRead = 0xFA05u;
constexpr unsigned kPrioBits = 4;  // implemented priority bits
constexpr std::uint32_t kNvicBase = 0xE000E100u;
constexpr std::uint32_t kScbBase = 0xE000ED00u;
}  // namespace

InterruptController::InterruptController(Clock& clock, std::vector<Vector> vectors)
    : clock_(clock), vectors_(std::move(vectors)) {
  vectors_.resize(kExceptions, Vector{"reserved", nullptr});
  enabled_[kSysTick] = true;  // SysTick pends only when its TICKINT is on
  enabled_[kPendSV] = true;
}

std::size_t InterruptController::index(int exception) {
  if (exception < 1 || exception >= kExceptions) {
    throw Stop(StopKind::Fault, "no such exception number " + std::to_string(exception));
  }
  return static_cast<std::size_t>(exception);
}

bool InterruptController::isEnabled(int exception) const { return enabled_[index(exception)]; }

void InterruptController::setLine(int line, bool high) {
  int exc = irq(line);
  std::size_t i = index(exc);
  if (high && !line_[i]) pending_[i] = true;
  line_[i] = high;
}

void InterruptController::setPending(int exception) { pending_[index(exception)] = true; }

std::uint8_t InterruptController::priorityByte(int exception) const {
  if (exception >= kFirstIrq) return irqPriority_[static_cast<std::size_t>(exception - kFirstIrq)];
  if (exception >= 4) return shpr_[static_cast<std::size_t>(exception - 4)];
  return 0;  // NMI and HardFault have fixed negative priorities; not pended here
}

unsigned InterruptController::groupOf(int exception) const {
  return static_cast<unsigned>(priorityByte(exception)) >> (priGroup_ + 1);
}

unsigned InterruptController::preemptionPriority(int exception) const {
  unsigned raw = priorityByte(exception) >> (8 - kPrioBits);
  unsigned preBits = priGroup_ >= 7 ? 0 : 7 - priGroup_;
  if (preBits > kPrioBits) preBits = kPrioBits;
  return raw >> (kPrioBits - preBits);
}

unsigned InterruptController::subPriority(int exception) const {
  unsigned raw = priorityByte(exception) >> (8 - kPrioBits);
  unsigned preBits = priGroup_ >= 7 ? 0 : 7 - priGroup_;
  if (preBits > kPrioBits) preBits = kPrioBits;
  return raw & ((1u << (kPrioBits - preBits)) - 1u);
}

int InterruptController::bestPending() const {
  int best = -1;
  for (int exc = kPendSV; exc < kExceptions; ++exc) {
    if (!pending_[static_cast<std::size_t>(exc)] || !enabled_[static_cast<std::size_t>(exc)]) continue;
    // The whole priority byte orders group first, then sub-priority; equal bytes
    // go by exception number, lowest first.
    if (best < 0 || priorityByte(exc) < priorityByte(best)) best = exc;
  }
  return best;
}

unsigned InterruptController::runningGroup() const {
  unsigned running = 0x100;  // thread mode
  for (int exc : stack_) {
    unsigned g = groupOf(exc);
    if (g < running) running = g;
  }
  return running;
}

void InterruptController::takePending() {
  if (externalCore_) return;
  // Runs at every register access: most of the time nothing is pending.
  while (!primask_ && (pending_ & enabled_).any()) {
    int exc = bestPending();
    if (exc < 0 || groupOf(exc) >= runningGroup()) return;
    run(exc);
  }
}

int InterruptController::nextToTake() const {
  if (primask_ || !(pending_ & enabled_).any()) return -1;
  int exc = bestPending();
  if (exc < 0 || groupOf(exc) >= runningGroup()) return -1;
  return exc;
}

void InterruptController::enter(int exception) {
  std::size_t i = index(exception);
  pending_[i] = false;
  active_[i] = true;
  stack_.push_back(exception);
  clock_.spendCycles(kEntryCycles);
  if (entryObserver_) entryObserver_(exception);
}

int InterruptController::leave() {
  if (stack_.empty()) throw Stop(StopKind::Fault, "exception return in thread mode");
  int exception = stack_.back();
  std::size_t i = index(exception);
  clock_.spendCycles(kExitCycles);
  stack_.pop_back();
  active_[i] = false;
  if (exception >= kFirstIrq && line_[i]) pending_[i] = true;  // level still asserted: taken again
  return exception;
}

void InterruptController::run(int exception) {
  std::size_t i = index(exception);
  pending_[i] = false;
  const Vector& v = vectors_[i];
  if (v.handler == nullptr) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "exception %d (%s) taken through an unused vector", exception, v.name);
    throw Stop(StopKind::Fault, buf);
  }
  active_[i] = true;
  stack_.push_back(exception);
  clock_.spendCycles(kEntryCycles);
  if (entryObserver_) entryObserver_(exception);
  v.handler();
  clock_.spendCycles(kExitCycles);
  stack_.pop_back();
  active_[i] = false;
  if (line_[i]) pending_[i] = true;  // level still asserted: taken again
}

template <typename Set>
std::uint32_t InterruptController::bits(const Set& set, unsigned word) const {
  std::uint32_t value = 0;
  for (unsigned b = 0; b < 32; ++b) {
    unsigned line = word * 32 + b;
    if (line < static_cast<unsigned>(kIrqLines) && set[kFirstIrq + line]) value |= 1u << b;
  }
  return value;
}

// ---------------------------------------------------------------- NVIC registers
// ISER 0x000, ICER 0x080, ISPR 0x100, ICPR 0x180, IABR 0x200 (8 words each),
// IP 0x300 (one byte a line).
std::uint32_t InterruptController::NvicRegisters::read(std::uint32_t offset, unsigned width) {
  if (offset >= 0x300 && offset < 0x300 + 240) {
    std::uint32_t value = 0;
    for (unsigned k = 0; k < width; ++k) {
      std::uint32_t line = offset - 0x300 + k;
      std::uint32_t byte = line < static_cast<std::uint32_t>(kIrqLines) ? ic_.irqPriority_[line] : 0;
      value |= byte << (8 * k);
    }
    return value;
  }
  if (width != 4) busError("NVIC register read of width " + std::to_string(width), kNvicBase + offset);
  if (offset < 0x280 && (offset & 0x7F) < 0x20) {
    unsigned word = (offset & 0x1F) / 4;
    switch (offset & ~0x7Fu) {
      case 0x000:
      case 0x080:
        return ic_.bits(ic_.enabled_, word);
      case 0x100:
      case 0x180:
        return ic_.bits(ic_.pending_, word);
      default:
        break;
    }
  }
  if (offset >= 0x200 && offset < 0x220) return ic_.bits(ic_.active_, (offset - 0x200) / 4);
  return 0;
}

void InterruptController::NvicRegisters::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (offset >= 0x300 && offset < 0x300 + 240) {
    for (unsigned k = 0; k < width; ++k) {
      std::uint32_t line = offset - 0x300 + k;
      if (line < static_cast<std::uint32_t>(kIrqLines)) {
        // Only the upper 4 bits are implemented on this chip.
        ic_.irqPriority_[line] = static_cast<std::uint8_t>((value >> (8 * k)) & 0xF0u);
      }
    }
    return;
  }
  if (width != 4) busError("NVIC register write of width " + std::to_string(width), kNvicBase + offset);
  if (offset >= 0x200) return;  // active bits are read-only
  if ((offset & 0x7F) >= 0x20) return;
  unsigned word = (offset & 0x1F) / 4;
  for (unsigned b = 0; b < 32; ++b) {
    if ((value & (1u << b)) == 0) continue;
    unsigned line = word * 32 + b;
    if (line >= static_cast<unsigned>(kIrqLines)) continue;
    std::size_t exc = kFirstIrq + line;
    switch (offset & ~0x7Fu) {
      case 0x000:
        ic_.enabled_[exc] = true;
        break;
      case 0x080:
        ic_.enabled_[exc] = false;
        break;
      case 0x100:
        ic_.pending_[exc] = true;
        break;
      case 0x180:
        ic_.pending_[exc] = false;
        break;
      default:
        break;
    }
  }
}

void InterruptController::StirRegister::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (offset != 0 || width != 4) busError("NVIC STIR write of width " + std::to_string(width), kNvicBase + 0xE00 + offset);
  if (value < static_cast<std::uint32_t>(kIrqLines)) ic_.pending_[kFirstIrq + value] = true;
}

// ---------------------------------------------------------------- SCB registers
// CPUID 0x00, ICSR 0x04, VTOR 0x08, AIRCR 0x0C, SCR 0x10, CCR 0x14,
// SHPR 0x18..0x23 (bytes), SHCSR 0x24, fault status 0x28..0x3C.
std::uint32_t InterruptController::ScbRegisters::read(std::uint32_t offset, unsigned width) {
  if (offset >= 0x18 && offset < 0x24) {
    std::uint32_t value = 0;
    for (unsigned k = 0; k < width; ++k) value |= std::uint32_t{ic_.shpr_[offset - 0x18 + k]} << (8 * k);
    return value;
  }
  std::uint32_t slot = 0;
  switch (offset & ~3u) {
    case 0x00:
      slot = kCpuId;
      break;
    case 0x04: {
      slot = 0;
      if (ic_.pending_[kSysTick]) slot |= kIcsrPendStSet;
      if (ic_.pending_[kPendSV]) slot |= kIcsrPendSvSet;
      if (!ic_.stack_.empty()) slot |= static_cast<std::uint32_t>(ic_.stack_.back()) & 0x1FFu;
      break;
    }
    case 0x08:
      slot = ic_.vtor_;
      break;
    case 0x0C:
      slot = (kAircrKeyRead << 16) | (ic_.priGroup_ << 8);
      break;
    default:
      slot = offset < 0x40 ? slots_[offset / 4] : 0;
      break;
  }
  return slotPart(slot, offset, width);
}

void InterruptController::ScbRegisters::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (offset >= 0x18 && offset < 0x24) {
    for (unsigned k = 0; k < width; ++k) {
      ic_.shpr_[offset - 0x18 + k] = static_cast<std::uint8_t>((value >> (8 * k)) & 0xF0u);
    }
    return;
  }
  if (width != 4 && offset < 0x10) {
    busError("SCB register write of width " + std::to_string(width), kScbBase + offset);
  }
  switch (offset) {
    case 0x00:
      return;  // CPUID is read-only
    case 0x04:
      if (value & kIcsrPendStSet) ic_.pending_[kSysTick] = true;
      if (value & kIcsrPendStClr) ic_.pending_[kSysTick] = false;
      if (value & kIcsrPendSvSet) ic_.pending_[kPendSV] = true;
      if (value & kIcsrPendSvClr) ic_.pending_[kPendSV] = false;
      return;
    case 0x08:
      ic_.vtor_ = value & 0x1FFFFF80u;
      return;
    case 0x0C:
      // Writes without the key are ignored by the core.
      if ((value >> 16) != kAircrKey) return;
      ic_.priGroup_ = (value >> 8) & 7u;
      if (value & 0x4u) throw Stop(StopKind::Fault, "system reset requested through AIRCR");
      return;
    default:
      if (offset < 0x40) slots_[offset / 4] = slotMerge(slots_[offset / 4], offset, width, value);
      return;
  }
}

}  // namespace sim
