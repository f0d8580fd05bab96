#include "cortex_m3.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "../../platform/stm32l1_registers.h"
#include "../../platform/vectors.h"
#include "../core/stop.h"

namespace sim {

namespace {

constexpr std::uint32_t kExcReturnThread = 0xFFFFFFF9u;
constexpr std::uint32_t kExcReturnHandler = 0xFFFFFFF1u;
constexpr std::uint32_t kPsrThumb = 1u << 24;
constexpr std::uint32_t kPsrFlags = 0xF8000000u;  // N Z C V Q
constexpr std::uint32_t kPsrAlignPad = 1u << 9;   // the frame was aligned down by 4 bytes
constexpr int kHardFault = 3;
constexpr int kSvCall = 11;
constexpr std::uint32_t kSemihostingBkpt = 0xAB;
constexpr std::uint32_t kSysExit = 0x18;
constexpr std::uint32_t kSysExitExtended = 0x20;
constexpr std::uint32_t kApplicationExit = 0x20026;

// Unicorn's exception numbers as its interrupt hook reports them.
enum : std::uint32_t { kUndefined = 1, kSupervisorCall = 2, kPrefetchAbort = 3, kDataAbort = 4, kBreakpoint = 7 };

constexpr std::array<int, 15> kLoopRegs = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,  UC_ARM_REG_R4,
                                           UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7,  UC_ARM_REG_R8,  UC_ARM_REG_R9,
                                           UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR};

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

CortexM3::CortexM3(Board& board, const BoardImage& image)
    : board_(board), image_(image), flash_(image.flash), ram_(BoardImage::kRamSize, 0) {
  board_.interrupts().setExternalCore(true);
  check(uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_), "opening the core");
  // Must be the very first call after opening.
  check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M3), "selecting the Cortex-M3");
  // Flash at its address and, as after reset with BOOT0 low, aliased at 0.
  check(uc_mem_map_ptr(uc_, BoardImage::kFlashBase, BoardImage::kFlashSize, UC_PROT_READ | UC_PROT_EXEC,
                       flash_.data()),
        "mapping flash");
  check(uc_mem_map_ptr(uc_, 0, BoardImage::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()),
        "mapping the flash alias");
  check(uc_mem_map_ptr(uc_, BoardImage::kRamBase, BoardImage::kRamSize, UC_PROT_ALL, ram_.data()), "mapping RAM");
  periphWindow_.base = PERIPH_BASE;
  scsWindow_.base = SCS_BASE;
  check(uc_mmio_map(uc_, PERIPH_BASE, PERIPH_END - PERIPH_BASE, reinterpret_cast<uc_cb_mmio_read_t>(&onMmioRead),
                    &periphWindow_, reinterpret_cast<uc_cb_mmio_write_t>(&onMmioWrite), &periphWindow_),
        "mapping the peripheral registers");
  check(uc_mmio_map(uc_, SCS_BASE, SCS_END - SCS_BASE, reinterpret_cast<uc_cb_mmio_read_t>(&onMmioRead), &scsWindow_,
                    reinterpret_cast<uc_cb_mmio_write_t>(&onMmioWrite), &scsWindow_),
        "mapping the system control space");
  uc_hook hook;
  check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&onInterrupt), this, 1, 0),
        "hooking exceptions");
  check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&onInvalidAccess), this, 1, 0),
        "hooking invalid accesses");
  check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&onRamWrite), this, BoardImage::kRamBase,
                    BoardImage::kRamBase + BoardImage::kRamSize - 1),
        "hooking RAM writes");
  // Every instruction is counted as it runs (and looked at where marked).
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
  for (unsigned r = 0; r < 16; ++r) setReg(r, 0);
  std::uint32_t zero = 0;
  uc_reg_write(uc_, UC_ARM_REG_PRIMASK, &zero);
  setReg(13, image_.word(0));
  setReg(15, image_.word(4));
  exited_ = false;
  exitStatus_ = 0;
  lastFault_.reset();
  if (loop_.armed) setMark(loop_.pc, kMarkLoop, false);
  if (poll_.armed) setMark(poll_.pc, kMarkPoll, false);
  loop_ = LoopWatch{};
  poll_ = PollWatch{};
  handlersSeen_.clear();
  handlerRunning_ = HandlerRun{};
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

std::uint32_t* CortexM3::ramWord(std::uint32_t address) {
  if (address < BoardImage::kRamBase || address - BoardImage::kRamBase > BoardImage::kRamSize - 4) return nullptr;
  return reinterpret_cast<std::uint32_t*>(&ram_[address - BoardImage::kRamBase]);
}

// ---------------------------------------------------------------- registers and memory

std::uint32_t CortexM3::reg(unsigned n) {
  int id = n < 13 ? UC_ARM_REG_R0 + static_cast<int>(n)
           : n == 13 ? UC_ARM_REG_SP
           : n == 14 ? UC_ARM_REG_LR
           : n == 15 ? UC_ARM_REG_PC
                     : UC_ARM_REG_XPSR;
  std::uint32_t v = 0;
  uc_reg_read(uc_, id, &v);
  if (n == 16) v |= kPsrThumb | static_cast<std::uint32_t>(board_.interrupts().running());
  return v;
}

void CortexM3::setReg(unsigned n, std::uint32_t value) {
  int id = n < 13 ? UC_ARM_REG_R0 + static_cast<int>(n)
           : n == 13 ? UC_ARM_REG_SP
           : n == 14 ? UC_ARM_REG_LR
           : n == 15 ? UC_ARM_REG_PC
                     : UC_ARM_REG_APSR;
  if (n == 15) value |= 1u;  // the core only runs Thumb code
  if (n == 16) value &= kPsrFlags;
  uc_reg_write(uc_, id, &value);
}

bool CortexM3::readMemory(std::uint32_t address, std::uint8_t* out, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t a = address + static_cast<std::uint32_t>(i);
    if (a >= BoardImage::kRamBase && a - BoardImage::kRamBase < BoardImage::kRamSize) {
      out[i] = ram_[a - BoardImage::kRamBase];
    } else if (a >= BoardImage::kFlashBase && a - BoardImage::kFlashBase < BoardImage::kFlashSize) {
      out[i] = flash_[a - BoardImage::kFlashBase];
    } else if (a < BoardImage::kFlashSize) {
      out[i] = flash_[a];
    } else {
      return false;
    }
  }
  return true;
}

bool CortexM3::writeMemory(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t a = address + static_cast<std::uint32_t>(i);
    if (a >= BoardImage::kRamBase && a - BoardImage::kRamBase < BoardImage::kRamSize) {
      ram_[a - BoardImage::kRamBase] = data[i];
    } else {
      return false;  // flash is programmed by the image, not by the debugger
    }
  }
  return true;
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
  ++executed_;
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
  executed_ += at - b.next;
  b.next = at;
}

void CortexM3::countedInItBlock(std::uint32_t pc) {
  if (itBlock_.next < itBlock_.count && itBlock_.pcs[itBlock_.next] == pc) ++itBlock_.next;
}

void CortexM3::fail() {
  failed_ = true;
  requestStop();
}

std::uint64_t CortexM3::onMmioRead(uc_struct*, std::uint64_t offset, unsigned size, void* user) {
  auto* w = static_cast<Window*>(user);
  return w->core->mmioRead(w->base + static_cast<std::uint32_t>(offset), size);
}

void CortexM3::onMmioWrite(uc_struct*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
  auto* w = static_cast<Window*>(user);
  w->core->mmioWrite(w->base + static_cast<std::uint32_t>(offset), size, static_cast<std::uint32_t>(value));
}

// Exceptions must not cross the library's C frames: whatever a model throws is
// kept and thrown again once the stretch has ended.
std::uint64_t CortexM3::mmioRead(std::uint32_t address, unsigned size) {
  if (failed_) return 0;
  ++mmioAccesses_;
  try {
    countStoppedInstruction();
    sync();
    std::uint32_t value = board_.firmwareRead(address, size);
    if (!exact_) {
      std::uint32_t offset = 0;
      if (board_.pollSkipping() && board_.bus().steadyModel(address, offset) != nullptr) notePoll(address, size, value);
      afterAccess();
    }
    return value;
  } catch (const Stop& stop) {
    if (stop.kind() == StopKind::Fault && std::string_view(stop.what()).starts_with("bus error")) {
      fault_ = Fault{stop.what(), pc_, address};
    } else {
      pending_ = std::current_exception();
    }
  } catch (...) {
    pending_ = std::current_exception();
  }
  fail();
  return 0;
}

void CortexM3::mmioWrite(std::uint32_t address, unsigned size, std::uint32_t value) {
  if (failed_) return;
  ++mmioAccesses_;
  try {
    countStoppedInstruction();
    sync();
    board_.firmwareWrite(address, size, value);
    if (!exact_) afterAccess();
    return;
  } catch (const Stop& stop) {
    if (stop.kind() == StopKind::Fault && std::string_view(stop.what()).starts_with("bus error")) {
      fault_ = Fault{stop.what(), pc_, address};
    } else {
      pending_ = std::current_exception();
    }
  } catch (...) {
    pending_ = std::current_exception();
  }
  fail();
}

// An access may have pended an exception that may run now (a write to the
// interrupt controller, an enable whose flag is set, an event run while the
// clock caught up): it is taken before the next instruction. Or it scheduled
// an event sooner than the boundary planned.
void CortexM3::afterAccess() {
  if (board_.interrupts().nextToTake() >= 0) {
    budget_ = executed_;
    recheck_ = true;
    return;
  }
  budget_ = std::min(budget_, executed_ + cyclesToNextEvent());
}

bool CortexM3::onInvalidAccess(uc_struct*, int type, std::uint64_t address, int, std::int64_t, void* user) {
  auto* self = static_cast<CortexM3*>(user);
  const char* what = "bus fault: access where no memory answers";
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
      what = "bus fault: read where no memory answers";
      break;
    case UC_MEM_WRITE_UNMAPPED:
      what = "bus fault: write where no memory answers";
      break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
      what = "bus fault: instruction fetch where no code can run";
      break;
    case UC_MEM_WRITE_PROT:
      what = "bus fault: write to flash";
      break;
    default:
      break;
  }
  std::uint32_t pc = self->reg(15);  // the library keeps the faulting instruction's address here
  self->fault_ = Fault{what, pc, static_cast<std::uint32_t>(address)};
  self->failed_ = true;
  self->stopRequested_ = true;
  return false;
}

void CortexM3::onRamWrite(uc_struct*, int, std::uint64_t address, int size, std::int64_t value, void* user) {
  auto* self = static_cast<CortexM3*>(user);
  ++self->ramWrites_;
  std::uint32_t offset = static_cast<std::uint32_t>(address) - BoardImage::kRamBase;
  if (size <= 0 || size > 8 || offset + static_cast<std::uint32_t>(size) > BoardImage::kRamSize) {
    ++self->ramChanges_;
    return;
  }
  if (address >= self->image_.stackBottom && address < self->deadStackTop_ && address < self->liveStackFrom_) return;
  auto v = static_cast<std::uint64_t>(value);
  if (std::memcmp(&self->ram_[offset], &v, static_cast<std::size_t>(size)) != 0) ++self->ramChanges_;
}

void CortexM3::onInterrupt(uc_struct*, std::uint32_t intno, void* user) {
  auto* self = static_cast<CortexM3*>(user);
  try {
    self->interrupt(intno);
  } catch (...) {
    self->pending_ = std::current_exception();
    self->requestStop();
  }
}

// Called before every instruction: kept short for the common case of code in
// flash with nothing to look at before the next boundary.
void CortexM3::onCode(uc_struct*, std::uint64_t address, std::uint32_t, void* user) {
  auto* self = static_cast<CortexM3*>(user);
  const auto pc = static_cast<std::uint32_t>(address);
  const std::uint32_t offset = pc - BoardImage::kFlashBase;
  if (offset < BoardImage::kFlashSize && !self->stopRequested_ && !self->breakpointsOutsideFlash_ &&
      (self->marks_[offset >> 1] | self->itLeft_) == 0 && self->executed_ < self->budget_) {
    ++self->executed_;
    self->pc_ = pc;
    return;
  }
  self->instruction(pc);
}

void CortexM3::instruction(std::uint32_t pc) {
  if (stopRequested_) {
    // The library runs on to the end of its block after a stop: what it runs
    // is counted, and what it did not run is taken back when it has stopped.
    if (stopAt_) {
      countStoppedInstruction();
      countSkippedInItBlock(pc);
      ++executed_;
      countedInItBlock(pc);
      lastHooked_ = pc;
    }
    return;
  }
  countSkippedInItBlock(pc);
  std::uint8_t mark = markAt(pc);
  if (executed_ >= budget_ || (mark & kMarkLook) != 0 || breakpointsOutsideFlash_) {
    try {
      if (!beforeInstruction(pc, mark)) return;
    } catch (...) {
      pending_ = std::current_exception();
      fail();
      return;
    }
  }
  ++executed_;
  countedInItBlock(pc);
  pc_ = pc;
  if (itLeft_ != 0) --itLeft_;
  if ((mark & (kMarkPrimask | kMarkIt)) != 0) {
    // A PRIMASK change is looked at right after the instruction.
    if ((mark & kMarkPrimask) != 0 && !exact_) {
      budget_ = executed_;
      recheck_ = true;
    }
    if ((mark & kMarkIt) != 0) {
      beginItBlock(pc);
      itLeft_ = itBlock_.count;
    }
  }
}

void CortexM3::interrupt(std::uint32_t intno) {
  std::uint32_t pc = reg(15);
  sync();
  switch (intno) {
    case kPrefetchAbort:
      // A branch to EXC_RETURN lands here, at the value without its Thumb bit.
      if (pc >= 0xFFFFFFF0u) {
        returnFromException(pc | 1u);
        // What pended meanwhile is looked at before the next instruction.
        if (!exact_) {
          budget_ = executed_;
          recheck_ = true;
        }
        return;
      }
      fault_ = Fault{"bus fault: instruction fetch where no code can run", pc, pc};
      break;
    case kUndefined:
      fault_ = Fault{"usage fault: undefined instruction", pc, std::nullopt};
      break;
    case kDataAbort:
      fault_ = Fault{"bus fault: data access refused", pc, std::nullopt};
      break;
    case kSupervisorCall:
      enterException(kSvCall, pc);
      if (!exact_) {
        budget_ = executed_;
        recheck_ = true;
      }
      return;
    case kBreakpoint: {
      std::uint8_t insn[2] = {0, 0};
      readMemory(pc, insn, 2);
      if (insn[0] == kSemihostingBkpt && insn[1] == 0xBE) {
        std::uint32_t op = reg(0), arg = reg(1);
        if (op == kSysExit) {
          exitStatus_ = arg == kApplicationExit ? 0 : 1;
          exited_ = true;
        } else if (op == kSysExitExtended) {
          std::uint8_t block[8];
          if (!readMemory(arg, block, 8)) {
            fault_ = Fault{"semihosting exit with its parameter block outside memory", pc, arg};
            break;
          }
          std::uint32_t reason, code;
          std::memcpy(&reason, block, 4);
          std::memcpy(&code, block + 4, 4);
          exitStatus_ = reason == kApplicationExit ? static_cast<int>(code) : 1;
          exited_ = true;
        } else {
          fault_ = Fault{"semihosting operation " + hex(op) + " that the virtual board does not provide", pc,
                         std::nullopt};
        }
      } else {
        fault_ = Fault{"debug event: bkpt instruction without a debugger attached", pc, std::nullopt};
      }
      break;
    }
    default:
      fault_ = Fault{"core exception " + std::to_string(intno) + " the board does not model", pc, std::nullopt};
      break;
  }
  if (fault_) {
    fail();
  } else {
    requestStop();
  }
}

// ---------------------------------------------------------------- exceptions

bool CortexM3::inItBlock() {
  std::uint32_t it = 0;
  uc_reg_read(uc_, UC_ARM_REG_ITSTATE, &it);
  return (it & 0xFFu) != 0;
}

CortexM3::Registers CortexM3::registers() {
  Registers r{};
  std::array<int, 17> ids{};
  std::array<void*, 17> ptrs{};
  for (std::size_t i = 0; i < kLoopRegs.size(); ++i) ids[i] = kLoopRegs[i];
  ids[15] = UC_ARM_REG_PC;
  ids[16] = UC_ARM_REG_APSR;
  for (std::size_t i = 0; i < ids.size(); ++i) ptrs[i] = &r[i];
  uc_reg_read_batch(uc_, ids.data(), ptrs.data(), static_cast<int>(ids.size()));
  return r;
}

bool CortexM3::takeExceptions() {
  InterruptController& ic = board_.interrupts();
  std::uint32_t primask = 0;
  uc_reg_read(uc_, UC_ARM_REG_PRIMASK, &primask);
  ic.setPrimask((primask & 1u) != 0);
  for (int guard = 0; guard < 8; ++guard) {
    int exc = ic.nextToTake();
    if (exc < 0) return guard > 0;
    // Exceptions are taken between instructions, never inside an IT block.
    for (int steps = 0; steps < 4 && inItBlock(); ++steps) {
      if (!execute(1) || exited_) return true;
    }
    itLeft_ = 0;
    enterException(exc, reg(15));
  }
  return true;
}

void CortexM3::enterException(int exception, std::uint32_t returnAddress) {
  InterruptController& ic = board_.interrupts();
  std::uint32_t r[5];
  for (unsigned i = 0; i < 4; ++i) r[i] = reg(i);
  r[4] = reg(12);
  std::uint32_t lr = reg(14), sp = reg(13);
  std::uint32_t apsr = 0;
  uc_reg_read(uc_, UC_ARM_REG_APSR, &apsr);
  std::uint32_t psr = (apsr & kPsrFlags) | kPsrThumb | static_cast<std::uint32_t>(ic.running());
  // The frame is aligned to 8 bytes (CCR.STKALIGN is set on this core).
  std::uint32_t frame = sp - 32;
  if ((frame & 4u) != 0) {
    frame -= 4;
    psr |= kPsrAlignPad;
  }
  if (frame < image_.stackBottom || ramWord(frame) == nullptr || ramWord(frame + 28) == nullptr) {
    halted("stack overrun: taking " + exceptionText(exception) + " at PC " + describe(returnAddress) +
           " needs its frame at " + hex(frame) + ", below the " + std::to_string(stackSize()) +
           "-byte stack that starts at " + hex(image_.stackBottom));
  }
  const std::uint32_t words[8] = {r[0], r[1], r[2], r[3], r[4], lr, returnAddress & ~1u, psr};
  for (unsigned i = 0; i < 8; ++i) *ramWord(frame + 4 * i) = words[i];
  std::uint32_t excReturn = ic.depth() == 0 ? kExcReturnThread : kExcReturnHandler;
  const bool fromThread = ic.depth() == 0;
  // The stacking takes its cycles; an exception of higher priority pended
  // meanwhile may arrive late and have its vector fetched instead.
  ++entries_;
  exception = ic.enter(exception);

  std::uint32_t entry = 0;
  std::uint32_t slot = board_.scb().vectorTableOffset() + 4u * static_cast<std::uint32_t>(exception);
  std::uint8_t bytes[4];
  if (!readMemory(slot, bytes, 4)) halted("the vector table slot of " + exceptionText(exception) + " is not memory");
  std::memcpy(&entry, bytes, 4);
  if ((entry & 1u) == 0) {
    halted("taking " + exceptionText(exception) + ": its vector " + hex(entry) + " is not Thumb code (lockup)");
  }
  if (fromThread) {
    // The interrupted code's stack above its SP is live even below the
    // dead-stack boundary: a handler's write there is a change.
    liveStackFrom_ = sp;
    handlerRunning_ = HandlerRun{exception, returnAddress & ~1u, registers(), ramChanges_, mmioAccesses_, entries_ - 1,
                                 instructions_ + executed_, deadStackEpoch_};
    handlerRunning_.registers[15] = returnAddress & ~1u;
  } else {
    handlerRunning_.exception = -1;  // nested: not a handler run of its own
  }
  setReg(13, frame);
  setReg(14, excReturn);
  setReg(15, entry);
}

void CortexM3::returnFromException(std::uint32_t excReturn) {
  InterruptController& ic = board_.interrupts();
  if (excReturn != kExcReturnThread && excReturn != kExcReturnHandler) {
    halted("exception return with " + hex(excReturn) + ": only the main stack is used on this board");
  }
  if (ic.depth() == 0) halted("exception return " + hex(excReturn) + " in thread mode");
  std::uint32_t sp = reg(13);
  if (ramWord(sp) == nullptr || ramWord(sp + 28) == nullptr) {
    halted("exception return with the stack pointer " + hex(sp) + " outside RAM");
  }
  std::uint32_t w[8];
  for (unsigned i = 0; i < 8; ++i) w[i] = *ramWord(sp + 4 * i);
  int left = ic.leave();
  for (unsigned i = 0; i < 4; ++i) setReg(i, w[i]);
  setReg(12, w[4]);
  setReg(14, w[5]);
  setReg(13, sp + 32 + ((w[7] & kPsrAlignPad) != 0 ? 4u : 0u));
  setReg(16, w[7]);
  setReg(15, w[6]);
  const HandlerRun& run = handlerRunning_;
  if (ic.depth() == 0 && run.exception == left && run.entries + 1 == entries_ && run.mmio == mmioAccesses_ &&
      run.ramChanges == ramChanges_ && run.epoch == deadStackEpoch_ && run.returnAddress == w[6] &&
      registers() == run.registers) {
    if (handlersSeen_.size() >= 256) handlersSeen_.clear();
    HandlerRun& seen = handlersSeen_[handlerKey(run.registers)];
    seen = run;
    seen.instructions = instructions_ + executed_ - run.instructions;
  }
  handlerRunning_.exception = -1;
  if (ic.depth() == 0) liveStackFrom_ = ~std::uint32_t{0};
  // Tail-chaining: a pending exception that may run now is entered at once.
  int next = ic.nextToTake();
  if (next >= 0) enterException(next, w[6]);
}

void CortexM3::enterFault(Fault fault) {
  InterruptController& ic = board_.interrupts();
  if (ic.running() == kHardFault || ic.running() == 2) {
    lastFault_ = fault;
    halted("lockup: a fault inside the HardFault handler");
  }
  lastFault_ = fault;
  enterException(kHardFault, fault.pc);
}

std::string CortexM3::describe(std::uint32_t pc) const {
  std::string s = hex(pc);
  std::string sym = image_.symbolAt(pc);
  if (!sym.empty()) s += " (" + sym + ")";
  return s;
}

void CortexM3::halted(const std::string& why) {
  std::string text = why;
  if (lastFault_) {
    text = lastFault_->what + " at PC " + describe(lastFault_->pc);
    if (lastFault_->address) text += ", address " + hex(*lastFault_->address);
    text += "; " + why;
  }
  throw Stop(StopKind::Fault, text);
}

// ---------------------------------------------------------------- running

std::uint64_t CortexM3::cyclesToNextEvent() const {
  const Clock& clock = board_.clock();
  if (!clock.hasEvents()) return std::uint64_t{1} << 40;
  Time next = clock.nextEventTime();
  Time now = clock.now();
  if (next <= now) return 1;
  Time perCycle = quantaPerCycle(clock.coreHz());
  return static_cast<std::uint64_t>((next - now + perCycle - 1) / perCycle);
}

void CortexM3::spend(std::uint64_t cycles) {
  Clock& clock = board_.clock();
  while (cycles > 0) {
    auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(cycles, 1u << 30));
    clock.spendCycles(step);
    cycles -= step;
  }
}

void CortexM3::sync() {
  std::uint64_t due = executed_ - charged_;
  charged_ = executed_;
  if (due != 0) spend(due);
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
  budget_ = std::min(stretchEnd_, executed_ + cyclesToNextEvent());
}

bool CortexM3::execute(std::uint32_t count, bool exact) {
  stopRequested_ = false;
  failed_ = false;
  breakpointHit_ = false;
  fault_.reset();
  executed_ = 0;
  charged_ = 0;
  exact_ = exact;
  recheck_ = false;
  stretchEnd_ = count;
  budget_ = count;
  std::uint32_t pc = reg(15);
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
    std::uint32_t at = reg(15);
    bool lastCounted = lastHooked_ != *stopAt_ || stoppedCounted_;
    if (at == lastHooked_ && lastCounted) {
      --executed_;
      if (itBlock_.next != 0 && itBlock_.pcs[itBlock_.next - 1] == at) --itBlock_.next;
    } else if (at != lastHooked_ && !lastCounted) {
      ++executed_;
      countedInItBlock(lastHooked_);
    }
  }
  instructions_ += executed_;
  const std::uint64_t ran = executed_;
  if (pending_) {
    executed_ = charged_ = 0;
    std::exception_ptr e = pending_;
    pending_ = nullptr;
    std::rethrow_exception(e);
  }
  sync();
  // From here on the stretch's instructions are in instructions_ alone: an
  // exception entered before the next stretch (a pending one as the run
  // resumes, a fault) counts from there.
  executed_ = charged_ = 0;
  if (exited_) return false;
  if (err == UC_ERR_INSN_INVALID && !fault_) {
    fault_ = Fault{"usage fault: undefined instruction", reg(15), std::nullopt};
  } else if (err != UC_ERR_OK && !fault_) {
    fault_ = Fault{std::string("fault: ") + uc_strerror(err), reg(15), std::nullopt};
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
  if (executed_ >= budget_ && !atBoundary(pc)) return false;
  if (exact_) return true;
  if ((mark & kMarkLoop) != 0 && loop_.pc == pc && !atLoopWatch(pc)) return false;
  if ((mark & kMarkPoll) != 0 && poll_.pc == pc) atPollWatch(pc);
  return true;
}

// Between two instructions, at an event's time or where something may have
// pended an exception: what may run now is entered here, before `pc`.
bool CortexM3::atBoundary(std::uint32_t pc) {
  sync();
  if (exact_ || executed_ >= stretchEnd_) {
    stopBefore(pc);
    return false;
  }
  bool recheck = recheck_;
  recheck_ = false;
  syncPrimask();
  InterruptController& ic = board_.interrupts();
  int exc = ic.nextToTake();
  bool repeated = false;
  for (int repeats = 0; exc >= 0 && itLeft_ == 0 && repeats < 16 && repeatHandler(exc, pc); ++repeats) {
    repeated = true;
    exc = ic.nextToTake();
  }
  if (exc >= 0) {
    if (itLeft_ != 0) {  // never inside an IT block
      budget_ = executed_ + 1;
      recheck_ = true;
      return true;
    }
    enterException(exc, pc);
    // The handler's first instruction is a boundary too: an exception of
    // higher priority pended during the entry preempts it there.
    budget_ = executed_;
    recheck_ = true;
    return false;
  }
  if (repeated) skipWaitingAt();
  // Inside a poll loop (less than an iteration past its last poll) nothing
  // waits without reading a register: no wait loop to look for here.
  const bool inPollLoop = poll_.have && poll_.counter >= 0 && instructions_ + executed_ >= poll_.last.instructions &&
                          instructions_ + executed_ - poll_.last.instructions < poll_.length;
  if (!recheck && !inPollLoop && !(loop_.armed && loop_.hit)) armLoopWatch(pc);
  loop_.hit = false;
  updateBudget();
  return true;
}

// Handlers that changed nothing ran inside a wait loop, less than an
// iteration after it was last seen waiting at its head, with nothing read or
// changed since: it still waits, and its whole iterations before the next
// event pass here.
void CortexM3::skipWaitingAt() {
  const Snapshot& was = loop_.last;
  std::uint64_t now = instructions_ + executed_;
  if (!loop_.armed || !loop_.have || loop_.length == 0 || was.depth != 0 || mmioAccesses_ != was.mmio ||
      ramChanges_ != was.ramChanges || deadStackEpoch_ != was.epoch || entries_ - repeatedHandlers_ != was.realEntries ||
      now < was.instructions || now - was.instructions >= loop_.length) {
    return;
  }
  const Clock& clock = board_.clock();
  if (!clock.hasEvents()) return;
  Time perCycle = quantaPerCycle(clock.coreHz());
  Time next = clock.nextEventTime();
  Time t = clock.now();
  if (next <= t) return;
  std::uint64_t iterations = static_cast<std::uint64_t>((next - t - 1) / (perCycle * static_cast<Time>(loop_.length)));
  loop_.hit = true;  // the watch stays where it is
  if (iterations == 0) return;
  spend(iterations * loop_.length);
  skipped_ += iterations * loop_.length;
}

// The exception about to be taken at `pc` would run the handler seen last,
// from the same state, with memory as it left it: its entry, its instructions
// and its return pass at once, unless an event falls among them.
bool CortexM3::repeatHandler(int exception, std::uint32_t pc) {
  InterruptController& ic = board_.interrupts();
  // A debugger's breakpoint in the handler must see it run.
  // Under a timing seed every entry and return draws its own cost: each runs.
  if (handlersSeen_.empty() || ic.depth() != 0 || !breakpoints_.empty() || !ic.nominalTiming()) return false;
  Registers now = registers();
  now[15] = pc;
  auto found = handlersSeen_.find(handlerKey(now));
  if (found == handlersSeen_.end()) return false;
  const HandlerRun& seen = found->second;
  if (seen.exception != exception || seen.ramChanges != ramChanges_ || seen.epoch != deadStackEpoch_ ||
      now != seen.registers) {
    return false;
  }
  std::uint64_t cycles = InterruptController::kEntryCycles + seen.instructions + InterruptController::kExitCycles;
  const Clock& clock = board_.clock();
  if (clock.hasEvents()) {
    Time perCycle = quantaPerCycle(clock.coreHz());
    if (clock.nextEventTime() <= clock.now() + static_cast<Time>(cycles) * perCycle) return false;
  }
  ic.enter(exception);
  ++entries_;
  spend(seen.instructions);
  skipped_ += seen.instructions;
  ic.leave();
  ++repeatedHandlers_;
  return true;
}

// The same code can be interrupted coming from several callers: the place is
// the PC with the stack pointer and the return address.
std::uint64_t CortexM3::handlerKey(const Registers& r) {
  return static_cast<std::uint64_t>(r[15]) | static_cast<std::uint64_t>(r[13] ^ (r[14] << 12)) << 32;
}

CortexM3::Snapshot CortexM3::snapshot() {
  Snapshot s;
  s.instructions = instructions_ + executed_;
  s.mmio = mmioAccesses_;
  s.ramChanges = ramChanges_;
  s.ramWrites = ramWrites_;
  s.epoch = deadStackEpoch_;
  s.taken = entries_;
  s.realEntries = entries_ - repeatedHandlers_;
  s.depth = board_.interrupts().depth();
  return s;
}

void CortexM3::takeRegisters(Snapshot& s) {
  s.registers = registers();
  s.registersKnown = true;
}

void CortexM3::armLoopWatch(std::uint32_t pc) {
  if (loop_.armed) setMark(loop_.pc, kMarkLoop, false);
  loop_ = LoopWatch{};
  if (pc - BoardImage::kFlashBase >= BoardImage::kFlashSize && pc >= BoardImage::kFlashSize) {
    return;  // code outside flash is not watched
  }
  loop_.pc = pc;
  loop_.armed = true;
  setMark(pc, kMarkLoop, true);
}

// A wait loop found in the very state it was in one iteration ago, with
// nothing read, written or taken meanwhile: it stays so until an event. Its
// whole iterations before the next event pass at once; the rest runs, so the
// event's boundary falls where it would have.
bool CortexM3::atLoopWatch(std::uint32_t pc) {
  std::uint32_t sp = reg(13);
  if (sp != deadStackTop_) {
    deadStackTop_ = sp;
    ++deadStackEpoch_;
  }
  loop_.hit = true;
  const Snapshot& was = loop_.last;
  // The registers are only read when nothing cheaper already tells this
  // iteration apart from the last one.
  Snapshot now = snapshot();
  bool quiet = loop_.have && now.mmio == was.mmio && now.ramChanges == was.ramChanges && now.epoch == was.epoch &&
               now.depth == was.depth;
  if (quiet || !loop_.have) takeRegisters(now);
  bool unchanged = quiet && was.registersKnown && now.registers == was.registers;
  bool same = unchanged && now.taken == was.taken && now.instructions > was.instructions &&
              now.instructions - was.instructions <= kStretch;
  // Back in the state it waited in after a handler that changed nothing it
  // sees: it waits on, an iteration as long as measured before.
  bool resumed = unchanged && !same && loop_.length != 0 && now.taken != was.taken;
  if (same || resumed) {
    std::uint64_t length = same ? now.instructions - was.instructions : loop_.length;
    loop_.length = length;
    loop_.misses = 0;
    loop_.confirmed = true;
    if (now.depth > 0) {
      int exc = board_.interrupts().running();
      halted("the " + exceptionText(exc) + " handler halted at PC " + describe(pc));
    }
    if (std::string why = whyNothingEndsWait(); !why.empty()) {
      throw Stop(StopKind::Fault, "the firmware is stuck for good: it loops at PC " + describe(pc) + " " + why);
    }
    sync();
    Clock& clock = board_.clock();
    if (!clock.hasEvents()) {
      throw Stop(StopKind::Fault,
                 "the firmware waits for something that can never happen: nothing is left to run (PC " +
                     describe(pc) + ")");
    }
    Time perCycle = quantaPerCycle(clock.coreHz());
    Time next = clock.nextEventTime();
    Time t = clock.now();
    if (next > t) {
      std::uint64_t iterations = static_cast<std::uint64_t>((next - t - 1) / (perCycle * static_cast<Time>(length)));
      if (iterations > 0) {
        spend(iterations * length);
        skipped_ += iterations * length;
      }
    }
    updateBudget();
  } else if (loop_.have && !(quiet && !was.registersKnown) && ++loop_.misses >= 3) {
    // Not a wait loop (or no longer one): stop looking here.
    setMark(pc, kMarkLoop, false);
    loop_.armed = false;
    return true;
  }
  loop_.last = now;
  loop_.have = true;
  return true;
}

// A wait loop in thread mode reads no register and writes no memory: only an
// exception can end it. None ever can with PRIMASK set, nor when no interrupt
// line is enabled and SysTick cannot pend its exception (the loop itself
// changes neither). Why, for the message; empty when one still may.
std::string CortexM3::whyNothingEndsWait() {
  std::uint32_t primask = 0;
  uc_reg_read(uc_, UC_ARM_REG_PRIMASK, &primask);
  if ((primask & 1u) != 0) return "with interrupts masked (PRIMASK set): nothing can end the loop";
  InterruptController& ic = board_.interrupts();
  for (int line = 0; line < InterruptController::kIrqLines; ++line) {
    if (ic.isEnabled(InterruptController::irq(line))) return {};
  }
  constexpr std::uint32_t kTicking = 0x3u;  // SysTick CTRL: ENABLE | TICKINT
  const SysTickTimer& tick = board_.sysTick();
  if ((tick.ctrl() & kTicking) == kTicking && tick.load() != 0) return {};
  return "with no interrupt enabled and SysTick not interrupting: nothing can end the loop";
}

// Of the iterations a poll loop's count `value` still allows, those that may
// pass at once: the count's last iterations run; so do those whose flags
// would differ (the count crossing the sign bit).
std::uint64_t CortexM3::passableIterations(std::uint32_t value) {
  std::uint64_t byCount = value > 1u ? value - 1u : 0u;
  if (value >= 0x80000000u) byCount = value > 0x80000001u ? std::min<std::uint64_t>(byCount, value - 0x80000001u) : 0;
  return byCount;
}

void CortexM3::notePoll(std::uint32_t address, unsigned width, std::uint32_t value) {
  const bool sameRead = poll_.armed && poll_.pc == pc_ && poll_.address == address && poll_.width == width;
  if (!sameRead || poll_.value != value) {
    // The state seen right before this very read (no instruction and no
    // access between) starts the next iteration all the same: only the value
    // the iteration is compared on is new.
    const bool keep = sameRead && poll_.have && poll_.last.mmio + 1 == mmioAccesses_ &&
                      poll_.last.instructions + 1 == instructions_ + executed_;
    Snapshot last = poll_.last;
    if (poll_.armed) setMark(poll_.pc, kMarkPoll, false);
    poll_ = PollWatch{};
    poll_.pc = pc_;
    poll_.address = address;
    poll_.width = width;
    poll_.value = value;
    poll_.armed = true;
    setMark(pc_, kMarkPoll, true);
    if (keep) {
      poll_.last = last;
      poll_.have = true;
    }
  }
  poll_.readAt = mmioAccesses_;
}

// Before a poll of a steady register. When the iteration since the last poll
// read the same value, made no other access, wrote no memory, took no
// exception and counted one register down by one, changing nothing else, the
// iterations to come are that very iteration again until an event or the end
// of the count: those before the next event pass at once, each with its
// instructions and its access, and never the count's last.
//
// Once an iteration was seen so, the one after it (the loop ran on past an
// event that left the register as it was) starts from the same registers but
// the count and reads the same value: it is known to do the same again, and
// the core's registers need not be read to see it.
void CortexM3::atPollWatch(std::uint32_t) {
  const Snapshot& was = poll_.last;
  Snapshot now = snapshot();
  // An iteration that read the watched value once and did nothing else the
  // board sees: only such an iteration's registers are worth reading (the
  // first after entering the loop seldom starts from the loop's own state).
  const bool clean = poll_.have && board_.pollSkipping() && poll_.readAt == mmioAccesses_ &&
                     now.mmio == was.mmio + 1 && now.ramWrites == was.ramWrites && now.taken == was.taken &&
                     now.depth == was.depth && now.instructions > was.instructions;
  const bool quiet = clean && was.registersKnown;
  int counter = -1;
  bool alike = false;
  if (quiet && poll_.counter >= 0 && now.instructions - was.instructions == poll_.length &&
      passableIterations(was.registers[static_cast<std::size_t>(poll_.counter)]) > 0) {
    // The iteration just run could itself have passed at once (the count
    // neither at its end nor crossing the sign bit).
    now.registers = was.registers;
    now.registersKnown = true;
    counter = poll_.counter;
    --now.registers[static_cast<std::size_t>(counter)];
    alike = true;
  } else if (clean) {
    takeRegisters(now);
    if (quiet) {
      alike = true;
      for (std::size_t i = 0; i < now.registers.size() && alike; ++i) {
        if (now.registers[i] == was.registers[i]) continue;
        bool general = i <= 12 || i == 14;
        if (general && counter < 0 && now.registers[i] == was.registers[i] - 1u) {
          counter = static_cast<int>(i);
        } else {
          alike = false;
        }
      }
    }
  }
  poll_.counter = -1;
  if (alike && counter >= 0) {
    std::uint64_t length = now.instructions - was.instructions;
    poll_.counter = counter;
    poll_.length = length;
    std::uint32_t value = now.registers[static_cast<std::size_t>(counter)];
    std::uint64_t byCount = passableIterations(value);
    sync();
    const Clock& clock = board_.clock();
    // An event run since the last poll (at a boundary just before this
    // one) may have changed the register: it is read again here (a steady
    // read twice has the effect of one), and a change lets this poll run.
    std::uint32_t offset = 0;
    Peripheral* model = board_.bus().steadyModel(poll_.address, offset);
    bool steady = model != nullptr && model->read(offset, poll_.width) == poll_.value;
    Time perCycle = quantaPerCycle(clock.coreHz());
    Time iteration = perCycle * static_cast<Time>(length + Board::kCyclesPerAccess);
    std::uint64_t byEvent = byCount;
    if (clock.hasEvents()) {
      Time next = clock.nextEventTime();
      Time t = clock.now();
      byEvent = next > t ? static_cast<std::uint64_t>((next - t - 1) / iteration) : 0;
    }
    std::uint64_t k = steady ? std::min(byCount, byEvent) : 0;
    if (k > 0) {
      spend(k * (length + Board::kCyclesPerAccess));
      skipped_ += k * length;
      skippedPolls_ += k;
      auto left = static_cast<std::uint32_t>(value - k);
      setReg(counter == 14 ? 14u : static_cast<unsigned>(counter), left);
      now.registers[static_cast<std::size_t>(counter)] = left;
      updateBudget();
    }
  }
  poll_.last = now;
  poll_.have = true;
}

void CortexM3::checkStack() {
  std::uint32_t sp = reg(13);
  bool overrun = sp < image_.stackBottom;
  // The words just below the stack are never written unless the stack
  // overran, however briefly.
  for (std::uint32_t a = image_.stackBottom - 32; !overrun && a < image_.stackBottom; a += 4) {
    if (a >= image_.ramUsedEnd && ramWord(a) != nullptr && *ramWord(a) != kStackFill) overrun = true;
  }
  if (overrun) {
    halted("stack overrun: the stack pointer is at " + hex(sp) + " and the stack has run below its " +
           std::to_string(stackSize()) + " bytes (" + hex(image_.stackBottom) + ") into the RAM below it");
  }
}

CortexM3::Halt CortexM3::run(std::uint64_t maxInstructions, const std::function<bool()>& interrupt) {
  std::uint64_t steps = 0;
  std::uint32_t sinceAsked = 0;
  std::uint32_t pc = reg(15);
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

std::uint32_t CortexM3::stackHighWater() const {
  std::uint32_t a = image_.stackBottom;
  while (a < image_.stackTop) {
    std::uint32_t v;
    std::memcpy(&v, &ram_[a - BoardImage::kRamBase], 4);
    if (v != kStackFill) break;
    a += 4;
  }
  return image_.stackTop - a;
}

}  // namespace sim

namespace sim {

std::optional<std::uint32_t> CortexM3::readGlobal(const std::string& symbol) {
  for (const auto& [address, name] : image_.symbols) {
    if (name != symbol) continue;
    std::uint8_t bytes[4];
    if (!readMemory(address, bytes, 4)) return std::nullopt;
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }
  return std::nullopt;
}

}  // namespace sim
