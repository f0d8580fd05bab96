// The board's Cortex-M3 instruction set (ARMv7-M Thumb: the 16-bit and the
// 32-bit encodings, no floating point), interpreted instruction by
// instruction.
//
// The interpreter knows the core's registers, flags and IT state, the memory
// the board image sees (flash at its address and aliased at 0, RAM), and two
// register windows that it hands to its Bus. It knows nothing of exceptions,
// the interrupt controller or time: it counts instructions, stops before
// a marked instruction or once `limit` instructions have run, and stops on
// what only its owner can handle (an exception return, a supervisor call, a
// breakpoint instruction, a fault). sim::CortexM3 builds the core on it.
//
// Speed: each halfword of flash has a decoded form, filled the first time
// an instruction starts there; running an instruction is one call through
// its decoded form. Code outside flash is decoded each time it runs. A row
// of plain instructions that has run often is translated into host code
// (RowTranslator) where the host allows it, and runs as one call.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "row_translator.h"

namespace sim::thumb {

class Interpreter;
struct Op;
// Runs one decoded instruction. `c.pc()` is its address; `c.next` the
// address after it, which a branch overwrites.
using Handler = void (*)(Interpreter& c, const Op& op);

// An instruction decoded: its handler and its fields. What each field holds
// is the handler's business (a register number, a shift, an immediate).
struct Op {
  Handler run = nullptr;
  std::uint8_t size = 2;  // 2 or 4 bytes
  std::uint8_t a = 0, b = 0, c = 0, d = 0;
  std::uint8_t e = 0, f = 0;
  std::uint8_t flags = 0;  // the handler's own bits (set flags, add or subtract, ...)
  // The run loop's own:
  // - the instruction's mark has a bit of the look mask (kept up to date by
  //   markChanged), so run() returns before it;
  // - the instruction never writes the PC and starts no IT block (decided
  //   from its encoding), so the one after it runs next;
  // - how many such instructions start here in a row, unmarked (0: not
  //   known yet): they run without a look between them.
  std::uint8_t marked = 0;
  std::uint8_t plain = 0;
  std::uint8_t straight = 0;
  // Where the instruction may stand in an IT block (ItPlace), decided from
  // its encoding.
  std::uint8_t itPlace = 0;
  std::uint32_t imm = 0;
};

// Where an instruction may stand in an IT block. Elsewhere than allowed it
// is unpredictable, a usage fault on this core.
enum ItPlace : std::uint8_t {
  kItAnywhere = 0,
  kItLastOnly,    // it writes the PC: B, BL, BX, BLX, TBB/TBH, loads and ADD/MOV to the PC
  kItNever,       // IT, CBZ/CBNZ, B<cond>, CPS
  kItRegardless,  // BKPT: runs whatever the block's condition
};

// Flag bits of Op::flags that the run loop itself looks at; handlers may
// use the rest.
enum : std::uint8_t {
  // A 16-bit data-processing instruction that sets the flags outside an IT
  // block and not inside one (ADDS/ADD, MOVS/MOV, ...).
  kOpFlagsOutsideIt = 0x80,
};

// Decoders: fill `op` for the instruction and return true, or return false
// for an undefined or unpredictable encoding (a usage fault on the core).
// A 32-bit instruction is given as first halfword << 16 | second halfword.
// The decoded form must not depend on the instruction's address (flash is
// also seen at 0): PC-relative forms read r15 when they run.
bool decode16(std::uint16_t insn, Op& op);
bool decode32(std::uint32_t insn, Op& op);
// The encodings by group, as decode16 and decode32 route them:
// - arithmetic and logic (data_processing.cpp): 16-bit shifts, add,
//   subtract, move, compare, the register data-processing ops, ADD/CMP/MOV
//   with high registers, ADR, ADD/SUB with SP; 32-bit data processing with
//   a modified immediate and with a shifted register;
bool decode16DataProcessing(std::uint16_t insn, Op& op);
bool decode32ModifiedImmediate(std::uint32_t insn, Op& op);
bool decode32ShiftedRegister(std::uint32_t insn, Op& op);
// - the other operations on registers (bit_operations.cpp): 16-bit extends
//   and byte reversals; 32-bit plain immediates (ADDW, SUBW, MOVW, MOVT,
//   ADR, bit fields, saturation), register-controlled shifts, extends,
//   REV/RBIT/CLZ, multiplies and divides;
bool decode16Misc(std::uint16_t insn, Op& op);
bool decode32PlainImmediate(std::uint32_t insn, Op& op);
bool decode32Register(std::uint32_t insn, Op& op);
bool decode32Multiply(std::uint32_t insn, Op& op);
// - loads and stores (load_store.cpp): every 16- and 32-bit load and store,
//   PUSH/POP, LDM/STM, LDRD/STRD, exclusives, TBB/TBH, preload hints;
bool decode16Memory(std::uint16_t insn, Op& op);
bool decode32Memory(std::uint32_t insn, Op& op);
// - branches and control (control.cpp): B, B<cond>, CBZ/CBNZ, BX, BLX, BL,
//   IT, hints, CPS, SVC, BKPT, UDF, MSR, MRS, barriers.
bool decode16Control(std::uint16_t insn, Op& op);
bool decode32Control(std::uint32_t insn, Op& op);

// True for the first halfword of a 32-bit instruction.
inline bool isWide(std::uint16_t first) { return (first >> 11) >= 0x1Du; }

// SP or PC, where the architecture forbids them (its BadReg): for the
// decoders of every group.
inline bool badReg(unsigned r) { return r == 13u || r == 15u; }

class Interpreter;
// ADR (16- and 32-bit forms): Rd = Align(PC, 4) + imm (bit_operations.cpp).
void addressFromPc(Interpreter& c, const Op& op);
// LDR Rt, [PC, #imm] of a word (load_store.cpp), and the same once the word
// is known: Rt = imm. A word of the literal pool in flash is a constant
// (flash changes only with a new image, which drops every decoded form).
extern const Handler kWordLiteralLoad;
void loadConstant(Interpreter& c, const Op& op);

class Interpreter {
 public:
  // The peripheral and system-control register windows: every access there
  // is the Bus's, with the size in bytes (1, 2 or 4). A Bus may throw: the
  // exception leaves run() with the instruction counted and half done.
  class Bus {
   public:
    virtual std::uint32_t read(std::uint32_t address, unsigned size) = 0;
    virtual void write(std::uint32_t address, unsigned size, std::uint32_t value) = 0;

   protected:
    ~Bus() = default;
  };

  struct Memory {
    std::uint8_t* flash = nullptr;  // at flashBase and at 0, read-only to the code
    std::uint32_t flashBase = 0x08000000u;
    std::uint32_t flashSize = 0;
    std::uint8_t* ram = nullptr;
    std::uint32_t ramBase = 0x20000000u;
    std::uint32_t ramSize = 0;
    // The Bus's windows, [begin, end) each.
    std::uint32_t windowBegin[2] = {0, 0};
    std::uint32_t windowEnd[2] = {0, 0};
  };

  // Why run() returned. The PC is left on the instruction concerned, not
  // run, except where said.
  enum class Exit {
    Limit,            // `limit` instructions have run; the PC is on the next
    Marked,           // the next instruction is marked
    Stopped,          // requestStop(): the PC is on the next instruction
    ExceptionReturn,  // a branch to an EXC_RETURN value (excReturn()), counted
    SupervisorCall,   // an SVC ran; the PC is on the instruction after it
    Breakpoint,       // a BKPT, counted, not run
    Fault,            // fault(): the instruction is counted, its effects may be partial
  };

  struct FaultInfo {
    std::string what;
    std::uint32_t pc = 0;
    bool hasAddress = false;
    std::uint32_t address = 0;
  };

  Interpreter(const Memory& memory, Bus& bus);
  // Power-on state: every register, flag and special register zero, no IT
  // block, the exclusive monitor closed (the owner then sets SP and PC).
  void reset();
  ~Interpreter();
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  // Runs until one of the Exits. Before each instruction whose mark (one
  // byte per halfword of flash, see setMarks) has a bit of `lookMask`, or
  // once `count` has reached `limit`, run() returns with Marked or Limit;
  // with `passFirst` the first instruction is run whatever its mark and
  // the limit.
  Exit run(bool passFirst = false);

  // Instructions run so far (each costs one, whether its condition passed
  // or not), and the count at which run() stops. The Bus may lower `limit`
  // during an access: run() stops after that instruction.
  std::uint64_t count = 0;
  std::uint64_t limit = 0;
  void requestStop() {
    stopRequested_ = true;
    attention_ = true;
  }

  // Every instruction is looked at (run() returns Marked before each), as
  // for a breakpoint outside flash.
  bool watchAll = false;
  // Marks on flash halfwords (one byte each, from the start of flash),
  // owned by the caller; null for none. The caller says when the mark of
  // an instruction changed.
  void setMarks(const std::uint8_t* marks, std::uint8_t lookMask) {
    marks_ = marks;
    lookMask_ = lookMask;
    flashChanged();
  }
  void markChanged(std::uint32_t flashOffset);

  // The core's registers. r(15) is the address of the next instruction.
  std::uint32_t r(unsigned n) const { return n == 15 ? pc() : regs[n]; }
  void setR(unsigned n, std::uint32_t value);
  // r15 holds the PC + 4 at all times: the running instruction's while it
  // runs, the next one's between runs.
  std::uint32_t pc() const { return regs[15] - 4; }
  void setPc(std::uint32_t address) { regs[15] = (address & ~1u) + 4; }
  // N Z C V Q in bits 31-27, as the APSR.
  std::uint32_t apsr() const;
  void setApsr(std::uint32_t value);
  // The IT state (ITSTATE, as in the EPSR), 0 outside an IT block.
  std::uint8_t itState() const { return it_; }
  void setItState(std::uint8_t it) { it_ = it; }
  bool inItBlock() const { return it_ != 0; }

  // Special registers, as MRS and MSR see them. The exception number is
  // the owner's (IPSR): it sets it on entry and return.
  bool primask = false;
  std::uint8_t basepri = 0;
  bool faultmask = false;
  std::uint32_t control = 0;
  std::uint32_t ipsr = 0;
  // The process stack pointer, as MSR/MRS PSP see it. The board's code runs
  // on the main stack only: SP is always the main one.
  std::uint32_t psp = 0;

  std::uint32_t excReturn() const { return excReturn_; }
  const FaultInfo& faultInfo() const { return fault_; }

  // RAM stores and those that changed a byte of RAM, outside [quietFrom,
  // quietTo): stores there (dead stack) change nothing that counts.
  std::uint64_t ramWrites = 0;
  std::uint64_t ramChanges = 0;
  std::uint32_t quietFrom = 0;
  std::uint32_t quietTo = 0;

  // Flash changed under the interpreter (a new image): decoded forms are
  // dropped.
  void flashChanged();

  // ---- for the handlers (sim/cpu/thumb/*.cpp) ----
  // r0-r14, and r15 reading as the instruction's address + 4 while it runs.
  // Handlers write registers through put() (SP's two low bits are always
  // zero) and the PC only through branch() and branchExchange().
  std::uint32_t regs[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4};
  void put(unsigned d, std::uint32_t value) { regs[d] = d == 13 ? value & ~3u : value; }
  // Flags, one byte each (0 or 1).
  std::uint8_t flagN = 0, flagZ = 0, flagC = 0, flagV = 0, flagQ = 0;
  // The address after the running instruction; a branch sets it.
  std::uint32_t next = 0;
  // The running instruction is inside an IT block (16-bit data processing
  // sets no flags there).
  bool inIt = false;

  // Memory as the code sees it, `size` 1, 2 or 4 bytes, little-endian,
  // misaligned allowed (LDR/STR/LDRH/STRH; the forms the core refuses it
  // for check alignment themselves). A refused access faults and reads 0.
  std::uint32_t load(std::uint32_t address, unsigned size) {
    const std::uint32_t offset = address - mem_.ramBase;
    if (offset <= mem_.ramSize - 4) return loadFrom(mem_.ram + offset, size);
    const std::uint32_t inFlash = address - mem_.flashBase;
    if (inFlash <= mem_.flashSize - 4) return loadFrom(mem_.flash + inFlash, size);
    return loadSlow(address, size);
  }
  void store(std::uint32_t address, unsigned size, std::uint32_t value) {
    const std::uint32_t offset = address - mem_.ramBase;
    if (offset <= mem_.ramSize - 4) {
      storeRam(offset, size, value);
      return;
    }
    storeSlow(address, size, value);
  }
  // A branch to `target` (bit 0 ignored: BL, B, CBZ, TBB, ADD/MOV to PC).
  void branch(std::uint32_t target) { next = target & ~1u; }
  // A branch that interworks (BX, BLX, POP/LDM/LDR to the PC): bit 0 must
  // be set (Thumb); an EXC_RETURN value ends the run for the owner.
  void branchExchange(std::uint32_t target);
  // Sets N and Z from a result.
  void setNZ(std::uint32_t result) {
    flagN = static_cast<std::uint8_t>(result >> 31);
    flagZ = result == 0;
  }
  bool conditionPassed(unsigned cond) const;
  // Ends the instruction with a fault on the core: the handler returns at
  // once (faulted() is true after a refused load or store).
  void fault(const std::string& what, bool hasAddress = false, std::uint32_t address = 0);
  bool faulted() const { return pending_ == Pending::Fault; }
  // The instruction is a supervisor call or a breakpoint: the run ends after
  // (SVC) or at (BKPT) it.
  void supervisorCall();
  void breakpoint();
  // Exclusive monitor (LDREX/STREX/CLREX).
  bool exclusiveOpen = false;
  std::uint32_t exclusiveAddress = 0;

  // ---- translated rows ----
  // A row of plain instructions is translated into host code the
  // `translateAfter`-th time it starts (at most 255); 0: never, every row
  // is interpreted. Both run alike, to the count and the fault.
  unsigned translateAfter = 16;
  // The translator, null where the host has none.
  const RowTranslator* translator() const { return translator_.get(); }

 private:
  friend class RowTranslator;
  // Tables taken zeroed from calloc: their pages cost nothing until used.
  struct FreeZeroed {
    void operator()(void* p) const;
  };

  // Decodes the instruction at `pc` into `op`.
  void decode(std::uint32_t pc, Op& op);
  // `address` as an offset into flash (flash is also seen at 0); flashSize
  // when it is not in flash.
  std::uint32_t flashOffset(std::uint32_t address) const {
    if (address - mem_.flashBase < mem_.flashSize) return address - mem_.flashBase;
    return address < mem_.flashSize ? address : mem_.flashSize;
  }
  Op* slotAt(std::uint32_t pc);
  // Where the flash the instruction at `pc` (decoded in `slot`) is seen
  // from starts: flashBase, or 0 for the alias.
  std::uint32_t flashStartFor(std::uint32_t pc, const Op* slot) const {
    return pc - static_cast<std::uint32_t>(slot - decoded_.get()) * 2;
  }
  unsigned straightFrom(Op* slot);
  // Sets `count` to the running instruction's inside a row of plain
  // instructions (where it stands at the row's end).
  void rowCount();
  const Op* rowFrom_ = nullptr;
  std::uint64_t rowStart_ = 0;
  bool settle(Exit& exit);
  bool stepOne(const Op& op, Exit& exit);
  std::uint32_t loadSlow(std::uint32_t address, unsigned size);
  void storeSlow(std::uint32_t address, unsigned size, std::uint32_t value);
  static std::uint32_t loadFrom(const std::uint8_t* at, unsigned size) {
    if (size == 4) return static_cast<std::uint32_t>(at[0] | at[1] << 8 | at[2] << 16) | std::uint32_t{at[3]} << 24;
    if (size == 2) return static_cast<std::uint32_t>(at[0] | at[1] << 8);
    return at[0];
  }
  void storeRam(std::uint32_t offset, unsigned size, std::uint32_t value) {
    ++ramWrites;
    std::uint8_t* at = mem_.ram + offset;
    if (loadFrom(at, size) != (size == 4 ? value : value & ((1u << (8 * size)) - 1u))) {
      const std::uint32_t address = mem_.ramBase + offset;
      if (address < quietFrom || address >= quietTo) ++ramChanges;
      for (unsigned i = 0; i < size; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }

  Memory mem_;
  Bus& bus_;
  // One per flash halfword, zeroed (run == nullptr: not decoded yet). Zeroed
  // pages cost nothing until the code there first runs.
  std::unique_ptr<Op[], FreeZeroed> decoded_;
  const std::uint8_t* marks_ = nullptr;
  std::uint8_t lookMask_ = 0;
  std::uint8_t it_ = 0;
  bool stopRequested_ = false;
  enum class Pending : std::uint8_t { None, ExceptionReturn, SupervisorCall, Breakpoint, Fault };
  // Set with pending_ or stopRequested_: the run loop looks at one byte.
  bool attention_ = false;
  Pending pending_ = Pending::None;
  std::uint32_t excReturn_ = 0;
  FaultInfo fault_;

  // ---- translated rows (translated_rows.cpp), after the run loop's own ----
  // Runs a handler for a translated row: what it throws is kept (the row's
  // host code has no unwind information) and thrown again once the row has
  // returned.
  static void runGuarded(Interpreter& c, const Op& op);
  std::exception_ptr thrown_;
  std::unique_ptr<RowTranslator> translator_;
  // Per flash halfword: the translated row that starts there and how many
  // instructions it holds, and how many times a row has started there
  // untranslated. A changed mark changes a row's length, not its code: the
  // translation serves whenever the row is as long as it was.
  struct TranslatedRow {
    RowTranslator::Row row;
    std::uint8_t length;
    std::uint8_t heat;
  };
  std::unique_ptr<TranslatedRow[], FreeZeroed> rows_;
  bool anyTranslated_ = false;
  RowTranslator::Row translateRow(const Op* slot, std::uint32_t at);
  // How a row handed to runTranslated() went: not translated (the run loop
  // interprets it), run whole (c.next is after it), or ended early at an
  // instruction that raised attention, with the run going on or over.
  enum class RowEnd : std::uint8_t { Interpret, Ran, Stopped, Exit };
  [[gnu::noinline]] RowEnd runTranslated(const Op* slot, std::uint32_t pc, Exit& exit);
  void forgetRows();
};

}  // namespace sim::thumb
