#include "cortex_m3.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "../../platform/vectors.h"
#include "../core/stop.h"
#include "core_registers.h"

namespace sim {

using namespace core_registers;

namespace {

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

const char* exceptionName(int exc) {
  switch (exc) {
    case 0:
      return "thread mode";
    case 1:
      return "Reset";
#define TL500_CORE_EXCEPTION_NAME(number, irqn, name, handler) \
  case number:                                                  \
    return name;
      TL500_CORE_EXCEPTIONS(TL500_CORE_EXCEPTION_NAME)
#undef TL500_CORE_EXCEPTION_NAME
    default:
      return exc > 1 && exc < TL500_CORE_VECTOR_SLOTS ? "reserved" : "interrupt";
  }
}

std::string exceptionText(int exc) {
  if (exc < 16) return std::string(exceptionName(exc));
  return "IRQ " + std::to_string(exc - 16);
}

}  // namespace

std::string CortexM3::hexWord(std::uint32_t v) { return hex(v); }

std::string CortexM3::exceptionLabel(int exception) { return exceptionText(exception); }

CortexM3::CortexM3(Board& board, const BoardImage& image)
    : board_(board), forward_(board.clock()), image_(image), flash_(image.flash), ram_(BoardImage::kRamSize, 0) {
  board_.interrupts().setExternalCore(true);
  cpu_ = std::make_unique<thumb::Interpreter>(memoryMap(), static_cast<thumb::Interpreter::Bus&>(*this));
  marks_.assign(BoardImage::kFlashSize / 2, 0);
  cpu_->setMarks(marks_.data(), kMarkLook | kMarkPrimask);
  markPrimaskWriters();
  reset();
}

CortexM3::~CortexM3() { board_.interrupts().setExternalCore(false); }

void CortexM3::reset() {
  std::copy(image_.flash.begin(), image_.flash.end(), flash_.begin());
  std::fill(ram_.begin(), ram_.end(), 0);
  std::uint32_t from = std::min((image_.ramUsedEnd + 3u) & ~3u, image_.stackBottom);
  for (std::uint32_t a = from; a + 4 <= image_.stackTop; a += 4) *ramWord(a) = kStackFill;
  cpu_->reset();
  setReg(kSp, image_.word(0));
  setReg(kPc, image_.word(4));
  exited_ = false;
  exitStatus_ = 0;
  lastFault_.reset();
  if (loop_.armed) setMark(loop_.pc, kMarkLoop, false);
  if (poll_.armed) setMark(poll_.pc, kMarkPoll, false);
  loop_ = LoopWatch{};
  poll_ = PollWatch{};
  handlersSeen_.clear();
  handlerRunning_ = HandlerRun{};
  idleTicks_.clear();
  idlePeriod_.clear();
  liveStackFrom_ = ~std::uint32_t{0};
  updateQuietStack();
}

// ---------------------------------------------------------------- marks

std::uint8_t CortexM3::markAt(std::uint32_t pc) const {
  std::uint32_t offset = pc - BoardImage::kFlashBase;
  if (offset >= BoardImage::kFlashSize) {
    if (pc >= BoardImage::kFlashSize) return 0;
    offset = pc;
  }
  return marks_[offset >> 1];
}

void CortexM3::setMark(std::uint32_t pc, std::uint8_t mark, bool on) {
  std::uint32_t offset = pc - BoardImage::kFlashBase;
  if (offset >= BoardImage::kFlashSize) {
    if (pc >= BoardImage::kFlashSize) return;
    offset = pc;
  }
  std::uint8_t& m = marks_[offset >> 1];
  m = static_cast<std::uint8_t>(on ? (m | mark) : (m & ~mark));
  cpu_->markChanged(offset);
}

// The instructions that change PRIMASK, wherever a halfword of the image
// could be one: the marks are only looked at where an instruction starts, so
// a match inside data or inside a 32-bit instruction does nothing.
void CortexM3::markPrimaskWriters() {
  std::uint32_t end = std::min<std::uint32_t>(static_cast<std::uint32_t>(flash_.size()), BoardImage::kFlashSize);
  for (std::uint32_t at = 0; at + 2 <= end; at += 2) {
    std::uint32_t hw = flash_[at] | static_cast<std::uint32_t>(flash_[at + 1]) << 8;
    std::uint32_t next = at + 4 <= end ? (flash_[at + 2] | static_cast<std::uint32_t>(flash_[at + 3]) << 8) : 0;
    bool primask = hw == 0xB662u || hw == 0xB672u ||  // cpsie i, cpsid i
                   ((hw & 0xFFF0u) == 0xF380u && (next & 0xFF00u) == 0x8800u && (next & 0xFFu) == 0x10u);
    if (primask) marks_[at >> 1] |= kMarkPrimask;
  }
}

// ---------------------------------------------------------------- registers

std::uint32_t CortexM3::reg(unsigned n) {
  if (n == kXpsr) {
    return cpu_->apsr() | kPsrThumb | static_cast<std::uint32_t>(board_.interrupts().running());
  }
  return cpu_->r(n);
}

void CortexM3::setReg(unsigned n, std::uint32_t value) {
  if (n == kXpsr) {
    cpu_->setApsr(value & kPsrFlags);
  } else {
    cpu_->setR(n, value);  // the PC's Thumb bit is dropped: the core only runs Thumb code
  }
}

CortexM3::Registers CortexM3::registers() {
  Registers r{};
  for (unsigned i = 0; i <= kPc; ++i) r[i] = cpu_->r(i);
  r[kXpsr] = cpu_->apsr();
  return r;
}

bool CortexM3::inItBlock() { return cpu_->inItBlock(); }

void CortexM3::requestStop() {
  stopRequested_ = true;
  cpu_->requestStop();
}

void CortexM3::fail() {
  failed_ = true;
  requestStop();
}

// ---------------------------------------------------------------- running

void CortexM3::sync() {
  std::uint64_t due = cpu_->count - charged_;
  charged_ = cpu_->count;
  if (due != 0) forward_.spend(due);
}

void CortexM3::syncPrimask() { board_.interrupts().setPrimask(cpu_->primask); }

// The next boundary: the first instruction at or past the board's next event.
void CortexM3::updateBudget() {
  if (exact_) return;
  sync();
  cpu_->limit = std::min(stretchEnd_, cpu_->count + forward_.cyclesToNextEvent());
}

bool CortexM3::execute(std::uint32_t count, bool exact) {
  stopRequested_ = false;
  failed_ = false;
  breakpointHit_ = false;
  fault_.reset();
  cpu_->count = 0;
  charged_ = 0;
  exact_ = exact;
  recheck_ = false;
  stretchEnd_ = count;
  cpu_->limit = count;
  if (!exact) {
    if (!(loop_.armed && loop_.hit)) armLoopWatch(cpu_->pc());
    loop_.hit = false;
    updateBudget();
  }
  runStretch();
  instructions_ += cpu_->count;
  const std::uint64_t ran = cpu_->count;
  if (pending_) {
    cpu_->count = charged_ = 0;
    std::exception_ptr e = pending_;
    pending_ = nullptr;
    std::rethrow_exception(e);
  }
  sync();
  // From here on the stretch's instructions are in instructions_ alone: an
  // exception entered before the next stretch (a pending one as the run
  // resumes, a fault) counts from there.
  cpu_->count = charged_ = 0;
  if (exited_) return false;
  if (fault_) {
    Fault f = *fault_;
    fault_.reset();
    cpu_->setItState(0);
    enterFault(f);
    return false;
  }
  if (breakpointHit_) return false;
  return !exact || ran == count;
}

void CortexM3::runStretch() {
  using Exit = thumb::Interpreter::Exit;
  bool pass = false;  // the instruction at the PC was looked at: it runs
  for (;;) {
    const Exit exit = cpu_->run(pass);
    pass = false;
    if (exit == Exit::Stopped || stopRequested_ || pending_ || fault_ || exited_) return;
    if (exit != Exit::Limit && exit != Exit::Marked) {
      try {
        interpreterExit(exit);
      } catch (...) {
        pending_ = std::current_exception();
        return;
      }
      if (stopRequested_ || fault_ || exited_) return;
      continue;
    }
    const std::uint32_t pc = cpu_->pc();
    const std::uint8_t mark = markAt(pc);
    if (cpu_->count >= cpu_->limit || (mark & kMarkLook) != 0 || breakpointsOutsideFlash_) {
      try {
        if (!beforeInstruction(pc, mark)) {
          // Stopped before it, or an exception was entered instead.
          if (stopRequested_ || pending_ || fault_) return;
          continue;
        }
      } catch (...) {
        pending_ = std::current_exception();
        return;
      }
    }
    // A PRIMASK change is looked at right after the instruction.
    if ((mark & kMarkPrimask) != 0 && !exact_) {
      cpu_->limit = cpu_->count + 1;
      recheck_ = true;
    }
    pass = true;
  }
}

bool CortexM3::beforeInstruction(std::uint32_t pc, std::uint8_t mark) {
  if ((mark & kMarkBreakpoint) != 0 || (breakpointsOutsideFlash_ && breakpoints_.count(pc) != 0)) {
    if (ignoreBreakpointAt_ && *ignoreBreakpointAt_ == pc) {
      ignoreBreakpointAt_.reset();
    } else {
      breakpointHit_ = true;
      requestStop();
      return false;
    }
  }
  if (cpu_->count >= cpu_->limit && !atBoundary(pc)) return false;
  if (exact_) return true;
  if ((mark & kMarkLoop) != 0 && loop_.pc == pc && !atLoopWatch(pc)) return false;
  if ((mark & kMarkPoll) != 0 && poll_.pc == pc) atPollWatch(pc);
  return true;
}

// Between two instructions, at an event's time or where something may have
// pended an exception: what may run now is entered here, before `pc`.
bool CortexM3::atBoundary(std::uint32_t pc) {
  sync();
  if (exact_ || cpu_->count >= stretchEnd_) {
    requestStop();
    return false;
  }
  bool recheck = recheck_;
  recheck_ = false;
  syncPrimask();
  InterruptController& ic = board_.interrupts();
  int exc = ic.nextToTake();
  int repeats = 0;
  for (; exc >= 0 && !inItBlock() && repeats < kRepeatsAtBoundary && repeatHandler(exc, pc); ++repeats) {
    exc = ic.nextToTake();
  }
  const bool repeated = repeats > 0;
  if (exc >= 0) {
    if (inItBlock()) {  // never inside an IT block
      cpu_->limit = cpu_->count + 1;
      recheck_ = true;
      return true;
    }
    enterException(exc, pc);
    // The handler's first instruction is a boundary too: an exception of
    // higher priority pended during the entry preempts it there.
    cpu_->limit = cpu_->count;
    recheck_ = true;
    return false;
  }
  if (repeats == 1 && passIdlePeriods()) {
    // The loop goes on from the place its last tick passed found it.
    cpu_->limit = cpu_->count;
    recheck_ = true;
    return false;
  }
  if (repeated) skipWaitingAt();
  // Inside a poll loop (less than an iteration past its last poll) nothing
  // waits without reading a register: no wait loop to look for here.
  const bool inPollLoop = poll_.have && poll_.counter >= 0 && instructions_ + cpu_->count >= poll_.last.instructions &&
                          instructions_ + cpu_->count - poll_.last.instructions < poll_.length;
  if (!recheck && !inPollLoop && !(loop_.armed && loop_.hit)) armLoopWatch(pc);
  loop_.hit = false;
  updateBudget();
  return true;
}

CortexM3::Halt CortexM3::run(std::uint64_t maxInstructions, const std::function<bool()>& interrupt) {
  std::uint64_t steps = 0;
  std::uint32_t sinceAsked = 0;
  std::uint32_t pc = cpu_->pc();
  if (breakpoints_.count(pc) != 0) ignoreBreakpointAt_ = pc;
  const bool single = maxInstructions != 0;
  for (;;) {
    if (exited_) return Halt::Exited;
    if (interrupt && (!single || ++sinceAsked >= 256)) {
      sinceAsked = 0;
      if (interrupt()) return Halt::Interrupted;
    }
    takeExceptions();
    if (exited_) return Halt::Exited;
    execute(single ? 1 : kStretch, single);
    ignoreBreakpointAt_.reset();
    if (exited_) return Halt::Exited;
    if (breakpointHit_) {
      breakpointHit_ = false;
      return Halt::Breakpoint;
    }
    checkStack();
    if (single && ++steps >= maxInstructions) return Halt::Stepped;
  }
}

// ---------------------------------------------------------------- debugger and figures

void CortexM3::addBreakpoint(std::uint32_t address) {
  breakpoints_.insert(address);
  bool inFlash = address - BoardImage::kFlashBase < BoardImage::kFlashSize || address < BoardImage::kFlashSize;
  if (inFlash) {
    setMark(address, kMarkBreakpoint, true);
  } else {
    breakpointsOutsideFlash_ = true;
    cpu_->watchAll = true;
  }
}

void CortexM3::removeBreakpoint(std::uint32_t address) {
  if (breakpoints_.erase(address) == 0) return;
  setMark(address, kMarkBreakpoint, false);
  breakpointsOutsideFlash_ = std::any_of(breakpoints_.begin(), breakpoints_.end(), [](std::uint32_t a) {
    return !(a - BoardImage::kFlashBase < BoardImage::kFlashSize || a < BoardImage::kFlashSize);
  });
  cpu_->watchAll = breakpointsOutsideFlash_;
}

std::string CortexM3::describe(std::uint32_t pc) const {
  std::string s = hex(pc);
  std::string sym = image_.symbolAt(pc);
  if (!sym.empty()) s += " (" + sym + ")";
  return s;
}

}  // namespace sim
