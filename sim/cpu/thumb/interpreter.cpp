#include "interpreter.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace sim::thumb {

namespace {

void undefinedInstruction(Interpreter& c, const Op&) { c.fault("usage fault: undefined instruction"); }

// Whether an instruction can write the PC (a branch, an exception return,
// a load or an ALU result to the PC, a supervisor call, a breakpoint) or
// starts an IT block: anything else hands on to the instruction after it,
// or faults. (A PRIMASK change ends a row by its mark.)
bool mayLeaveTheRow16(std::uint16_t hw) {
  if (hw >= 0xD000u && hw < 0xE800u) return true;  // B<cond>, UDF, SVC, B
  if ((hw & 0xFF00u) == 0x4700u) return true;      // BX, BLX
  if ((hw & 0xFC00u) == 0x4400u && (hw & 0x0300u) != 0x0100u && ((hw >> 4) & 8u) + (hw & 7u) == 15u) {
    return true;  // ADD or MOV to the PC
  }
  if ((hw & 0xF500u) == 0xB100u) return true;                         // CBZ, CBNZ
  if ((hw & 0xFF00u) == 0xBD00u) return true;                         // POP with the PC
  if ((hw & 0xFF00u) == 0xBE00u) return true;                         // BKPT
  if ((hw & 0xFF00u) == 0xBF00u && (hw & 0x000Fu) != 0) return true;  // IT
  return false;
}

bool mayLeaveTheRow32(std::uint32_t insn) {
  const unsigned op1 = (insn >> 27) & 3u;
  const unsigned op2 = (insn >> 20) & 0x7Fu;
  if (op1 == 2 && (insn & 0x8000u) != 0) return true;  // branches, MSR, hints, barriers
  if (op1 == 1 && (op2 & 0x64u) == 0x00u && (op2 & 1u) != 0 && (insn & 0x8000u) != 0) {
    return true;  // LDM/POP with the PC
  }
  if (op1 == 1 && (op2 & 0x64u) == 0x04u && (insn & 0x01B000E0u) == 0x00900000u) return true;  // TBB, TBH
  if (op1 == 3 && (op2 & 0x67u) == 0x05u && ((insn >> 12) & 0xFu) == 15u) return true;         // LDR to the PC
  return false;
}

// Where an instruction may stand in an IT block, given whether it may
// leave a row of plain instructions (mayLeaveTheRow16/32): of those that
// do not, only CPS is limited.
ItPlace itPlace16(std::uint16_t hw, bool leaves) {
  if (!leaves) return (hw & 0xFFE0u) == 0xB660u ? kItNever : kItAnywhere;  // CPS
  if (hw >= 0xD000u && hw < 0xDE00u) return kItNever;                      // B<cond>
  if (hw >= 0xDE00u && hw < 0xE000u) return kItAnywhere;                   // UDF, SVC
  if ((hw & 0xF500u) == 0xB100u) return kItNever;                          // CBZ, CBNZ
  if ((hw & 0xFF00u) == 0xBE00u) return kItRegardless;                     // BKPT
  if ((hw & 0xFF00u) == 0xBF00u) return kItNever;                          // IT
  return kItLastOnly;
}

ItPlace itPlace32(std::uint32_t insn, bool leaves) {
  if (!leaves) return kItAnywhere;
  const unsigned op1 = (insn >> 27) & 3u;
  if (op1 == 2) {
    const unsigned branchOp = (insn >> 12) & 5u;
    if (branchOp == 0) {
      // B<cond>; with a condition of 111x, MSR, MRS, hints and barriers.
      return ((insn >> 23) & 7u) != 7u ? kItNever : kItAnywhere;
    }
    return kItLastOnly;  // B, BL (and the BLX the core refuses)
  }
  return kItLastOnly;  // LDM/POP, LDR to the PC, TBB/TBH
}

}  // namespace

static_assert(std::is_trivially_copyable_v<Op> && std::is_trivially_destructible_v<Op>,
              "decoded forms live in zeroed memory");

void Interpreter::FreeZeroed::operator()(void* p) const { std::free(p); }

Interpreter::Interpreter(const Memory& memory, Bus& bus)
    : mem_(memory), bus_(bus), decoded_(static_cast<Op*>(std::calloc(memory.flashSize / 2, sizeof(Op)))) {
  if (!decoded_) throw std::bad_alloc();
  if (RowTranslator::available()) translator_ = std::make_unique<RowTranslator>(*this);
  if (translator_ && translator_->hasSpace()) {
    rows_.reset(static_cast<TranslatedRow*>(std::calloc(memory.flashSize / 2, sizeof(TranslatedRow))));
    if (!rows_) throw std::bad_alloc();
  } else {
    translator_.reset();
    translateAfter = 0;
  }
}

Interpreter::~Interpreter() = default;

void Interpreter::reset() {
  for (std::uint32_t& r : regs) r = 0;
  setPc(0);
  setApsr(0);
  it_ = 0;
  primask = false;
  basepri = 0;
  faultmask = false;
  control = 0;
  ipsr = 0;
  psp = 0;
  exclusiveOpen = false;
  pending_ = Pending::None;
}

// Rows shorter than this are always interpreted: calling host code for
// them costs as much as the run loop does.
constexpr unsigned kShortestTranslatedRow = 3;

// The longest row of plain instructions remembered, in halfwords: a changed
// mark forgets the rows up to this far before it.
constexpr unsigned kLongestRow = 255;

// A row never runs through an instruction that is not plain: the rows that
// may hold the one marked start after the last such instruction before it.
void Interpreter::markChanged(std::uint32_t flashOffset) {
  const std::uint32_t at = flashOffset >> 1;
  Op& op = decoded_[at];
  if (op.run != nullptr) op.marked = static_cast<std::uint8_t>(marks_[at] & lookMask_);
  op.straight = 0;
  const std::uint32_t lowest = at >= kLongestRow ? at - kLongestRow : 0;
  for (std::uint32_t i = at; i-- > lowest;) {
    Op& before = decoded_[i];
    if (before.run != nullptr && before.plain == 0) break;
    before.straight = 0;
  }
}

void Interpreter::flashChanged() {
  std::memset(static_cast<void*>(decoded_.get()), 0, mem_.flashSize / 2 * sizeof(Op));
  forgetRows();
}

void Interpreter::setR(unsigned n, std::uint32_t value) {
  if (n == 15) {
    setPc(value);
  } else {
    put(n, value);
  }
}

std::uint32_t Interpreter::apsr() const {
  return static_cast<std::uint32_t>(flagN) << 31 | static_cast<std::uint32_t>(flagZ) << 30 |
         static_cast<std::uint32_t>(flagC) << 29 | static_cast<std::uint32_t>(flagV) << 28 |
         static_cast<std::uint32_t>(flagQ) << 27;
}

void Interpreter::setApsr(std::uint32_t value) {
  flagN = static_cast<std::uint8_t>((value >> 31) & 1u);
  flagZ = static_cast<std::uint8_t>((value >> 30) & 1u);
  flagC = static_cast<std::uint8_t>((value >> 29) & 1u);
  flagV = static_cast<std::uint8_t>((value >> 28) & 1u);
  flagQ = static_cast<std::uint8_t>((value >> 27) & 1u);
}

bool Interpreter::conditionPassed(unsigned cond) const {
  bool result;
  switch (cond >> 1) {
    case 0:
      result = flagZ != 0;
      break;
    case 1:
      result = flagC != 0;
      break;
    case 2:
      result = flagN != 0;
      break;
    case 3:
      result = flagV != 0;
      break;
    case 4:
      result = flagC != 0 && flagZ == 0;
      break;
    case 5:
      result = flagN == flagV;
      break;
    case 6:
      result = flagZ == 0 && flagN == flagV;
      break;
    default:
      return true;
  }
  return (cond & 1u) != 0 ? !result : result;
}

void Interpreter::rowCount() {
  if (rowFrom_ == nullptr) return;
  const Op* running = decoded_.get() + (flashOffset(pc()) >> 1);
  std::uint64_t n = 1;
  for (const Op* at = rowFrom_; at < running; at += at->size >> 1) ++n;
  count = rowStart_ + n;
  rowFrom_ = nullptr;
}

void Interpreter::fault(const std::string& what, bool hasAddress, std::uint32_t address) {
  rowCount();
  if (pending_ == Pending::Fault) return;  // the first fault of an instruction is the one reported
  pending_ = Pending::Fault;
  attention_ = true;
  fault_ = FaultInfo{what, pc(), hasAddress, address};
}

void Interpreter::supervisorCall() {
  pending_ = Pending::SupervisorCall;
  attention_ = true;
}

void Interpreter::breakpoint() {
  pending_ = Pending::Breakpoint;
  attention_ = true;
}

void Interpreter::branchExchange(std::uint32_t target) {
  if (target >= 0xF0000000u) {
    // EXC_RETURN: the owner unstacks the frame and says where the code goes on.
    pending_ = Pending::ExceptionReturn;
    attention_ = true;
    excReturn_ = target;
    next = target & ~1u;
    return;
  }
  if ((target & 1u) == 0) {
    fault("usage fault: branch to an address without the Thumb bit (invalid state)", true, target);
    return;
  }
  next = target & ~1u;
}

std::uint32_t Interpreter::loadSlow(std::uint32_t address, unsigned size) {
  const std::uint32_t ram = address - mem_.ramBase;
  const std::uint32_t flash = flashOffset(address);
  if (ram < mem_.ramSize && mem_.ramSize - ram >= size) return loadFrom(mem_.ram + ram, size);
  if (flash < mem_.flashSize && mem_.flashSize - flash >= size) return loadFrom(mem_.flash + flash, size);
  for (int w = 0; w < 2; ++w) {
    if (address >= mem_.windowBegin[w] && address < mem_.windowEnd[w]) {
      if ((address & (size - 1u)) != 0) {
        fault("bus fault: misaligned access to a peripheral register", true, address);
        return 0;
      }
      attention_ = true;  // the access may have lowered the limit
      rowCount();
      return bus_.read(address, size);
    }
  }
  fault("bus fault: read where no memory answers", true, address);
  return 0;
}

void Interpreter::storeSlow(std::uint32_t address, unsigned size, std::uint32_t value) {
  const std::uint32_t ram = address - mem_.ramBase;
  if (ram < mem_.ramSize && mem_.ramSize - ram >= size) {
    storeRam(ram, size, value);
    return;
  }
  if (flashOffset(address) < mem_.flashSize) {
    fault("bus fault: write to flash", true, address);
    return;
  }
  for (int w = 0; w < 2; ++w) {
    if (address >= mem_.windowBegin[w] && address < mem_.windowEnd[w]) {
      if ((address & (size - 1u)) != 0) {
        fault("bus fault: misaligned access to a peripheral register", true, address);
        return;
      }
      attention_ = true;
      rowCount();
      bus_.write(address, size, value);
      return;
    }
  }
  fault("bus fault: write where no memory answers", true, address);
}

// Decodes the instruction at `pc` into `op`. A fetch where no code can run
// decodes to a fault.
void Interpreter::decode(std::uint32_t pc, Op& op) {
  auto fetch = [&](std::uint32_t at, std::uint16_t& out) {
    const std::uint32_t inFlash = flashOffset(at);
    const std::uint32_t inRam = at - mem_.ramBase;
    if (inFlash < mem_.flashSize - 1) {
      out = static_cast<std::uint16_t>(loadFrom(mem_.flash + inFlash, 2));
    } else if (inRam < mem_.ramSize - 1) {
      out = static_cast<std::uint16_t>(loadFrom(mem_.ram + inRam, 2));
    } else {
      return false;
    }
    return true;
  };
  op = Op{};
  std::uint16_t first = 0, second = 0;
  if (!fetch(pc, first)) {
    op.run = [](Interpreter& c, const Op&) {
      c.fault("bus fault: instruction fetch where no code can run", true, c.pc());
    };
    return;
  }
  bool ok;
  if (isWide(first)) {
    op.size = 4;
    ok = fetch(pc + 2, second) && decode32(static_cast<std::uint32_t>(first) << 16 | second, op);
  } else {
    op.size = 2;
    ok = decode16(first, op);
  }
  if (!ok) {
    const std::uint8_t size = op.size;
    op = Op{};
    op.size = size;
    op.run = &undefinedInstruction;
  }
  if (op.run == kWordLiteralLoad) {
    // A word of flash relative to the PC: read now, once. The alias at 0
    // sees the same word at the same distance.
    const std::uint32_t literal = flashOffset(((pc + 4) & ~3u) + op.imm);
    if (literal < mem_.flashSize && mem_.flashSize - literal >= 4) {
      op.imm = loadFrom(mem_.flash + literal, 4);
      op.run = &loadConstant;
    }
  }
  const std::uint32_t wide = static_cast<std::uint32_t>(first) << 16 | second;
  const bool leaves = op.size == 4 ? mayLeaveTheRow32(wide) : mayLeaveTheRow16(first);
  op.plain = leaves ? 0 : 1;
  op.itPlace = op.size == 4 ? itPlace32(wide, leaves) : itPlace16(first, leaves);
}

// The plain unmarked instructions that start at `slot`, in a row.
// Remembered once the row is known to its end.
unsigned Interpreter::straightFrom(Op* slot) {
  Op* const end = decoded_.get() + mem_.flashSize / 2;
  unsigned n = 0;
  Op* at = slot;
  while (at - slot < static_cast<std::ptrdiff_t>(kLongestRow) && at < end && at->run != nullptr && at->plain != 0 &&
         at->marked == 0) {
    ++n;
    at += at->size >> 1;
  }
  if (at - slot >= static_cast<std::ptrdiff_t>(kLongestRow) || at >= end || at->run != nullptr) {
    slot->straight = static_cast<std::uint8_t>(n);
  }
  return n;
}

bool decode16(std::uint16_t insn, Op& op) {
  const unsigned top6 = insn >> 10u;
  if (top6 < 0x10u || top6 == 0x10u) return decode16DataProcessing(insn, op);  // shifts, add, sub, mov, cmp; ALU
  if (top6 == 0x11u) {
    // ADD/CMP/MOV with high registers, or BX/BLX.
    return ((insn >> 8) & 3u) == 3u ? decode16Control(insn, op) : decode16DataProcessing(insn, op);
  }
  if (top6 < 0x28u) return decode16Memory(insn, op);          // LDR literal, loads and stores
  if (top6 < 0x2Cu) return decode16DataProcessing(insn, op);  // ADR, ADD Rd, SP, #imm
  if (top6 < 0x30u) {
    // Miscellaneous.
    const unsigned op7 = (insn >> 5) & 0x7Fu;
    if ((op7 & 0x7Cu) == 0x00u || (op7 & 0x7Cu) == 0x04u) return decode16DataProcessing(insn, op);  // ADD/SUB SP
    if ((op7 & 0x78u) == 0x10u) return decode16Misc(insn, op);                              // SXTH, SXTB, UXTH, UXTB
    if ((op7 & 0x70u) == 0x20u || (op7 & 0x70u) == 0x60u) return decode16Memory(insn, op);  // PUSH, POP
    if ((op7 & 0x78u) == 0x50u) return decode16Misc(insn, op);                              // REV, REV16, REVSH
    return decode16Control(insn, op);  // CBZ/CBNZ, CPS, BKPT, IT, hints
  }
  if (top6 < 0x34u) return decode16Memory(insn, op);  // STM, LDM
  return decode16Control(insn, op);                   // B<cond>, UDF, SVC, B
}

bool decode32(std::uint32_t insn, Op& op) {
  const unsigned op1 = (insn >> 27) & 3u;
  const unsigned op2 = (insn >> 20) & 0x7Fu;
  switch (op1) {
    case 1:
      if ((op2 & 0x40u) != 0) return false;  // coprocessor
      if ((op2 & 0x20u) != 0) return decode32ShiftedRegister(insn, op);
      return decode32Memory(insn, op);  // LDM/STM, LDRD/STRD, exclusives, TBB/TBH
    case 2:
      if ((insn & 0x8000u) != 0) return decode32Control(insn, op);
      if ((insn & 0x02000000u) != 0) return decode32PlainImmediate(insn, op);
      return decode32ModifiedImmediate(insn, op);
    case 3:
      if ((op2 & 0x40u) != 0) return false;                     // coprocessor
      if ((op2 & 0x60u) == 0) return decode32Memory(insn, op);  // single loads and stores, preloads
      if ((op2 & 0x70u) == 0x20u) return decode32Register(insn, op);
      return decode32Multiply(insn, op);  // 0110xxx multiply, 0111xxx long multiply and divide
    default:
      return false;
  }
}

// The decoded form of the instruction at `pc` in flash (flash is also seen
// at 0), decoded now if it was not yet; null outside flash.
inline Op* Interpreter::slotAt(std::uint32_t pc) {
  const std::uint32_t offset = flashOffset(pc);
  if (offset >= mem_.flashSize) return nullptr;
  Op* slot = &decoded_[offset >> 1];
  if (slot->run == nullptr) [[unlikely]] {
    decode(pc, *slot);
    if (marks_ != nullptr) slot->marked = static_cast<std::uint8_t>(marks_[offset >> 1] & lookMask_);
  }
  return slot;
}

// What the last instruction left for the owner, if anything: the exit, with
// the PC where it belongs.
inline bool Interpreter::settle(Exit& exit) {
  attention_ = false;
  const Pending p = pending_;
  pending_ = Pending::None;
  switch (p) {
    case Pending::ExceptionReturn:
      regs[15] = next + 4;
      exit = Exit::ExceptionReturn;
      return true;
    case Pending::SupervisorCall:
      regs[15] = next + 4;
      exit = Exit::SupervisorCall;
      return true;
    case Pending::Breakpoint:
      exit = Exit::Breakpoint;
      return true;
    case Pending::Fault:
      it_ = 0;
      exit = Exit::Fault;
      return true;
    case Pending::None:
      break;
  }
  regs[15] = next + 4;
  exit = Exit::Stopped;
  return stopRequested_;
}

// One instruction whatever it is: in an IT block, outside flash, looked at
// one by one. False when the run ends (with `exit`).
bool Interpreter::stepOne(const Op& op, Exit& exit) {
  const std::uint32_t pc = this->pc();
  ++count;
  next = pc + op.size;
  if (it_ == 0) {
    inIt = false;
    op.run(*this, op);
  } else {
    inIt = true;
    const bool last = (it_ & 0xFu) == 0x8u;
    const bool pass = op.itPlace == kItRegardless || conditionPassed(it_ >> 4);
    it_ = (it_ & 7u) == 0 ? 0 : static_cast<std::uint8_t>((it_ & 0xE0u) | ((it_ << 1) & 0x1Fu));
    if (op.itPlace == kItNever) {
      fault("usage fault: instruction not allowed in an IT block");
    } else if (op.itPlace == kItLastOnly && !last) {
      fault("usage fault: branch in an IT block before its last instruction");
    } else if (pass) {
      op.run(*this, op);
    }
  }
  if (attention_) return !settle(exit);
  regs[15] = next + 4;
  return true;
}

// The row that starts at `slot` (at `pc`), run as host code if it is
// translated or has grown hot enough to be. Kept out of the run loop, whose
// interpreted rows should not pay for it.
Interpreter::RowEnd Interpreter::runTranslated(const Op* slot, std::uint32_t pc, Exit& exit) {
  const auto at = static_cast<std::uint32_t>(slot - decoded_.get());
  TranslatedRow& translated = rows_[at];
  RowTranslator::Row row = nullptr;
  if (translated.length == slot->straight) {
    row = translated.row;
  } else if (++translated.heat >= translateAfter) {
    row = translateRow(slot, at);
  }
  if (row == nullptr) return RowEnd::Interpret;
  const unsigned stoppedAt = row(this, pc);
  if (stoppedAt == 0) return RowEnd::Ran;
  count = rowStart_ + stoppedAt;
  rowFrom_ = nullptr;
  if (thrown_) {
    std::exception_ptr thrown = std::move(thrown_);
    thrown_ = nullptr;
    std::rethrow_exception(thrown);
  }
  return settle(exit) ? RowEnd::Exit : RowEnd::Stopped;
}

Interpreter::Exit Interpreter::run(bool passFirst) {
  stopRequested_ = false;
  attention_ = pending_ != Pending::None;
  Exit exit = Exit::Stopped;
  Op scratch;
  for (;;) {
    // The instruction at the PC, one by one where something needs a look.
    // An instruction is decoded only when it is about to run.
    if (!passFirst && count >= limit) return Exit::Limit;
    Op* slot = slotAt(pc());
    if (slot == nullptr) {
      decode(pc(), scratch);
      slot = &scratch;
    }
    if (!passFirst && (slot->marked | static_cast<std::uint8_t>(watchAll)) != 0) [[unlikely]] {
      return Exit::Marked;
    }
    passFirst = false;
    if (slot == &scratch || it_ != 0 || watchAll) {
      if (!stepOne(*slot, exit)) return exit;
      continue;
    }
    // Straight through flash outside IT blocks. `base` is where the flash
    // the code runs in starts (flashBase, or 0 for the alias): the decoded
    // form of the instruction at `pc` is the one at pc - base.
    std::uint32_t pc = this->pc();
    std::uint32_t base = flashStartFor(pc, slot);
    inIt = false;
    for (;;) {
      if (slot->plain != 0 && slot->marked == 0) {  // a marked one is being passed: it runs below
        // A row of plain instructions, as far as the limit allows: no look
        // between them. A register access raises attention_ (it may have
        // lowered the limit), and so does a fault or a stop.
        std::uint64_t n = slot->straight != 0 ? slot->straight : straightFrom(slot);
        if (n > limit - count) n = limit - count;
        // The count is the row's end while it runs; whoever looks at it
        // meanwhile (a register access, a fault) has it set to the running
        // instruction's first (rowCount).
        rowFrom_ = slot;
        rowStart_ = count;
        count += n;
        bool stopped = false;
        if (n >= kShortestTranslatedRow && n == slot->straight && translateAfter != 0) {
          // The whole row runs: its host code, once it has grown hot.
          const RowEnd end = runTranslated(slot, pc, exit);
          if (end == RowEnd::Exit) return exit;
          if (end == RowEnd::Stopped) break;  // r15 is at the next instruction
          if (end == RowEnd::Ran) {
            slot += (next - pc) >> 1;
            pc = next;
            n = 0;  // the loop below has nothing left to run
          }
        }
        for (std::uint64_t i = 1; i <= n; ++i) {
          regs[15] = pc + 4;
          slot->run(*this, *slot);
          const std::uint32_t size = slot->size;
          if (attention_) [[unlikely]] {
            count = rowStart_ + i;
            rowFrom_ = nullptr;
            next = pc + size;
            if (settle(exit)) return exit;
            stopped = true;  // r15 is at the next instruction
            break;
          }
          pc += size;
          slot += size >> 1;
        }
        rowFrom_ = nullptr;
        if (stopped) break;
        regs[15] = pc + 4;
        if (count >= limit || pc - base >= mem_.flashSize) break;
        if (slot->run == nullptr) slot = slotAt(pc);
        if ((slot->marked | it_) != 0) break;
        if (slot->plain != 0) continue;  // the row ended at the limit of what is remembered
      }
      // An instruction that may branch, or a marked one being passed.
      ++count;
      next = pc + slot->size;
      slot->run(*this, *slot);
      if (attention_) [[unlikely]] {
        if (settle(exit)) return exit;
        break;  // r15 is at the next instruction
      }
      pc = next;
      regs[15] = pc + 4;
      if (count >= limit) break;
      // Where the code goes on: in the same flash, whether it branched or
      // not, the decoded form is found from `base`.
      if (pc - base < mem_.flashSize) [[likely]] {
        slot = decoded_.get() + ((pc - base) >> 1);
        if (slot->run == nullptr) [[unlikely]] {
          slot = slotAt(pc);
        }
      } else {
        slot = slotAt(pc);
        if (slot == nullptr) break;
        base = flashStartFor(pc, slot);
      }
      if ((slot->marked | it_) != 0) break;
    }
  }
}

}  // namespace sim::thumb
