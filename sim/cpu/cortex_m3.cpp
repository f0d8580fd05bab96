#include "cortex_m3.h"

#include <unicorn/unicorn.h>

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
  check(uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_), "opening the core");
  // Must be the very first call after opening.
  check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M3), "selecting the Cortex-M3");
  mapMemory();
  uc_hook hook;
  check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&onInterrupt), this, 1, 0),
        "hooking exceptions");
  check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&onInvalidAccess), this, 1, 0),
        "hooking invalid accesses");
  // Any memory hook, whatever its range, sends every load and store of the
  // core through the library's slow path (a lookup of the mapping per
  // access): this one costs about as much on load-heavy code as the code hook.
  check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&onRamWrite), this, BoardImage::kRamBase,
                    BoardImage::kRamBase + BoardImage::kRamSize - 1),
        "hooking RAM writes");
  // Every instruction is counted as it runs (and looked at where marked).
  // The hook also has the library store each instruction's address as the PC
  // before it runs: a register access and a refused access read the PC of
  // their own instruction from there. Instructions of an IT block whose
  // condition fails run without the hook being called (see beginItBlock).
  check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&onCode), this, 1, 0), "hooking instructions");
  marks_.assign(BoardImage::kFlashSize / 2, 0);
  markPrimaskWriters();
  reset();
}

CortexM3::~CortexM3() {
  if (uc_ != nullptr) uc_close(uc_);
  board_.interrupts().setExternalCore(false);
}

void CortexM3::check(int err, const char* what) const {
  if (err != UC_ERR_OK) {
    throw std::runtime_error(std::string("emulated core: ") + what + ": " + uc_strerror(static_cast<uc_err>(err)));
  }
}

void CortexM3::reset() {
  std::copy(image_.flash.begin(), image_.flash.end(), flash_.begin());
  std::fill(ram_.begin(), ram_.end(), 0);
  std::uint32_t from = std::min((image_.ramUsedEnd + 3u) & ~3u, image_.stackBottom);
  for (std::uint32_t a = from; a + 4 <= image_.stackTop; a += 4) *ramWord(a) = kStackFill;
  for (unsigned r = 0; r <= kPc; ++r) setReg(r, 0);
  std::uint32_t zero = 0;
  uc_reg_write(uc_, UC_ARM_REG_PRIMASK, &zero);
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
  itLeft_ = 0;
  itBlock_ = ItBlock{};
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
}

// The instructions that change PRIMASK and the IT instructions, wherever a
// halfword of the image could be one: the marks are only looked at where an
// instruction starts, so a match inside data or inside a 32-bit instruction
// does nothing.
void CortexM3::markPrimaskWriters() {
  std::uint32_t end = std::min<std::uint32_t>(static_cast<std::uint32_t>(flash_.size()), BoardImage::kFlashSize);
  for (std::uint32_t at = 0; at + 2 <= end; at += 2) {
    std::uint32_t hw = flash_[at] | static_cast<std::uint32_t>(flash_[at + 1]) << 8;
    std::uint32_t next = at + 4 <= end ? (flash_[at + 2] | static_cast<std::uint32_t>(flash_[at + 3]) << 8) : 0;
    bool primask = hw == 0xB662u || hw == 0xB672u ||  // cpsie i, cpsid i
                   ((hw & 0xFFF0u) == 0xF380u && (next & 0xFF00u) == 0x8800u && (next & 0xFFu) == 0x10u);
    bool it = (hw & 0xFF00u) == 0xBF00u && (hw & 0x0Fu) != 0;
    if (primask) marks_[at >> 1] |= kMarkPrimask;
    if (it) marks_[at >> 1] |= kMarkIt;
  }
}

// ---------------------------------------------------------------- registers

std::uint32_t CortexM3::reg(unsigned n) {
  std::uint32_t v = 0;
  uc_reg_read(uc_, n <= kPc ? kIds[n] : UC_ARM_REG_XPSR, &v);
  if (n == kXpsr) v |= kPsrThumb | static_cast<std::uint32_t>(board_.interrupts().running());
  return v;
}

void CortexM3::setReg(unsigned n, std::uint32_t value) {
  if (n == kPc) value |= 1u;  // the core only runs Thumb code
  if (n == kXpsr) value &= kPsrFlags;
  uc_reg_write(uc_, n <= kPc ? kIds[n] : UC_ARM_REG_APSR, &value);
}

CortexM3::Registers CortexM3::registers() {
  Registers r{};
  std::array<int, std::tuple_size_v<Registers>> ids{};
  std::array<void*, std::tuple_size_v<Registers>> ptrs{};
  std::copy(kIds.begin(), kIds.end(), ids.begin());
  ids[kXpsr] = UC_ARM_REG_APSR;
  for (std::size_t i = 0; i < ids.size(); ++i) ptrs[i] = &r[i];
  uc_reg_read_batch(uc_, ids.data(), ptrs.data(), static_cast<int>(ids.size()));
  return r;
}

bool CortexM3::inItBlock() {
  std::uint32_t it = 0;
  uc_reg_read(uc_, UC_ARM_REG_ITSTATE, &it);
  return (it & 0xFFu) != 0;
}

// ---------------------------------------------------------------- callbacks

void CortexM3::requestStop() {
  stopRequested_ = true;
  uc_emu_stop(uc_);
}

// From the code hook: the library may already be committed to running the
// hooked instruction once a stop is asked. Where it ran, it is counted when
// the stretch has ended.
void CortexM3::stopBefore(std::uint32_t pc) {
  requestStop();
  stopAt_ = pc;
  stoppedCounted_ = false;
  lastHooked_ = pc;
}

// The instruction a stop was asked before runs all the same: it is counted
// before its access, so that the access happens at its time.
void CortexM3::countStoppedInstruction() {
  if (!stopAt_ || stoppedCounted_) return;
  ++cpu_->count;
  countedInItBlock(*stopAt_);
  stoppedCounted_ = true;
}

// An IT instruction at `pc`: the addresses of the 1-4 instructions it makes
// conditional (16- or 32-bit each).
void CortexM3::beginItBlock(std::uint32_t pc) {
  const std::uint32_t offset = pc - (pc >= BoardImage::kFlashBase ? BoardImage::kFlashBase : 0);
  const std::uint32_t size = std::min<std::uint32_t>(static_cast<std::uint32_t>(flash_.size()), BoardImage::kFlashSize);
  const unsigned low = flash_[offset] & 0x0Fu;
  itBlock_ = ItBlock{};
  itBlock_.count = 4u - static_cast<unsigned>(__builtin_ctz(low));
  std::uint32_t at = offset + 2;
  for (unsigned i = 0; i < itBlock_.count; ++i) {
    itBlock_.pcs[i] = pc - offset + at;
    const unsigned top = at + 1 < size ? flash_[at + 1] >> 3 : 0;
    at += top >= 0x1Du ? 4 : 2;  // 0b11101, 0b11110, 0b11111: the first half of a 32-bit instruction
  }
  itBlock_.end = pc - offset + at;
}

// The instruction at `pc` is about to be counted: those of the IT block
// before it that the library ran without a hook (their condition failed)
// are counted first. Reached any other way than through the block (an
// exception), the block is forgotten.
void CortexM3::countSkippedInItBlock(std::uint32_t pc) {
  ItBlock& b = itBlock_;
  if (b.next == b.count) return;
  unsigned at = b.next;
  while (at < b.count && b.pcs[at] != pc) ++at;
  if (at == b.count && pc != b.end) {
    b.next = b.count;
    return;
  }
  cpu_->count += at - b.next;
  b.next = at;
}

void CortexM3::countedInItBlock(std::uint32_t pc) {
  if (itBlock_.next < itBlock_.count && itBlock_.pcs[itBlock_.next] == pc) ++itBlock_.next;
}

void CortexM3::fail() {
  failed_ = true;
  requestStop();
}

// Called before every instruction: kept short for the common case of code in
// flash with nothing to look at before the next boundary.
void CortexM3::onCode(uc_struct*, std::uint64_t address, std::uint32_t, void* user) {
  auto* self = static_cast<CortexM3*>(user);
  const auto pc = static_cast<std::uint32_t>(address);
  const std::uint32_t offset = pc - BoardImage::kFlashBase;
  if (offset < BoardImage::kFlashSize && !self->stopRequested_ && !self->breakpointsOutsideFlash_ &&
      (self->marks_[offset >> 1] | self->itLeft_) == 0 && self->cpu_->count < self->cpu_->limit) {
    ++self->cpu_->count;
    self->pc_ = pc;
    return;
  }
  self->instruction(pc);
}

void CortexM3::instruction(std::uint32_t pc) {
  if (stopRequested_) {
    // A stop asked from this hook stops the library right before the hooked
    // instruction, except inside an IT block: there the instruction runs all
    // the same, and so do the rest of the block, and the library stops
    // before the instruction after the block only once it has called this
    // hook for it. What it runs is counted, and what it did not run is taken
    // back when it has stopped. A stop asked from a register access is
    // different: the library abandons the accessing instruction and stops
    // with the PC on it, so it would run (and access) again; stops are only
    // asked there when the run ends (fail()).
    if (stopAt_) {
      countStoppedInstruction();
      countSkippedInItBlock(pc);
      ++cpu_->count;
      countedInItBlock(pc);
      lastHooked_ = pc;
    }
    return;
  }
  countSkippedInItBlock(pc);
  std::uint8_t mark = markAt(pc);
  if (cpu_->count >= cpu_->limit || (mark & kMarkLook) != 0 || breakpointsOutsideFlash_) {
    try {
      if (!beforeInstruction(pc, mark)) return;
    } catch (...) {
      pending_ = std::current_exception();
      fail();
      return;
    }
  }
  ++cpu_->count;
  countedInItBlock(pc);
  pc_ = pc;
  if (itLeft_ != 0) --itLeft_;
  if ((mark & (kMarkPrimask | kMarkIt)) != 0) {
    // A PRIMASK change is looked at right after the instruction.
    if ((mark & kMarkPrimask) != 0 && !exact_) {
      cpu_->limit = cpu_->count;
      recheck_ = true;
    }
    if ((mark & kMarkIt) != 0) {
      beginItBlock(pc);
      itLeft_ = itBlock_.count;
    }
  }
}

// ---------------------------------------------------------------- running

void CortexM3::sync() {
  std::uint64_t due = cpu_->count - charged_;
  charged_ = cpu_->count;
  if (due != 0) forward_.spend(due);
}

void CortexM3::syncPrimask() {
  std::uint32_t primask = 0;
  uc_reg_read(uc_, UC_ARM_REG_PRIMASK, &primask);
  board_.interrupts().setPrimask((primask & 1u) != 0);
}

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
  std::uint32_t pc = reg(kPc);
  if (!exact) {
    if (!(loop_.armed && loop_.hit)) armLoopWatch(pc);
    loop_.hit = false;
    updateBudget();
  }
  stopAt_.reset();
  uc_err err = uc_emu_start(uc_, pc | 1u, 0xFFFFFFFFu, 0, 0);
  if (stopAt_ && !pending_ && !fault_ && !exited_) {
    // The instruction the library stopped before was counted if hooked after
    // the stop; the one the stop was asked before, if it ran.
    std::uint32_t at = reg(kPc);
    bool lastCounted = lastHooked_ != *stopAt_ || stoppedCounted_;
    if (at == lastHooked_ && lastCounted) {
      --cpu_->count;
      if (itBlock_.next != 0 && itBlock_.pcs[itBlock_.next - 1] == at) --itBlock_.next;
    } else if (at != lastHooked_ && !lastCounted) {
      ++cpu_->count;
      countedInItBlock(lastHooked_);
    }
  }
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
  if (err == UC_ERR_INSN_INVALID && !fault_) {
    fault_ = Fault{"usage fault: undefined instruction", reg(kPc), std::nullopt};
  } else if (err != UC_ERR_OK && !fault_) {
    fault_ = Fault{std::string("fault: ") + uc_strerror(err), reg(kPc), std::nullopt};
  }
  if (fault_) {
    Fault f = *fault_;
    fault_.reset();
    itLeft_ = 0;
    itBlock_ = ItBlock{};
    enterFault(f);
    return false;
  }
  if (breakpointHit_) return false;
  return !exact || ran == count;
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
    stopBefore(pc);
    return false;
  }
  bool recheck = recheck_;
  recheck_ = false;
  syncPrimask();
  InterruptController& ic = board_.interrupts();
  int exc = ic.nextToTake();
  int repeats = 0;
  for (; exc >= 0 && itLeft_ == 0 && repeats < kRepeatsAtBoundary && repeatHandler(exc, pc); ++repeats) {
    exc = ic.nextToTake();
  }
  const bool repeated = repeats > 0;
  if (exc >= 0) {
    if (itLeft_ != 0) {  // never inside an IT block
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
  std::uint32_t pc = reg(kPc);
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
  }
}

void CortexM3::removeBreakpoint(std::uint32_t address) {
  if (breakpoints_.erase(address) == 0) return;
  setMark(address, kMarkBreakpoint, false);
  breakpointsOutsideFlash_ = std::any_of(breakpoints_.begin(), breakpoints_.end(), [](std::uint32_t a) {
    return !(a - BoardImage::kFlashBase < BoardImage::kFlashSize || a < BoardImage::kFlashSize);
  });
}

std::string CortexM3::describe(std::uint32_t pc) const {
  std::string s = hex(pc);
  std::string sym = image_.symbolAt(pc);
  if (!sym.empty()) s += " (" + sym + ")";
  return s;
}

}  // namespace sim
