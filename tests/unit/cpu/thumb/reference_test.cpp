// The interpreter checked against a reference: random instances of every
// Cortex-M3 Thumb encoding run from one state on the interpreter and on the
// Unicorn emulation library (which the emulated core has run on), and both
// must end alike: r0-r14, the PC, N Z C V Q, the IT state and all of RAM, or
// both must fault.
//
// Each group's generator fills the encodings' fields at random within what
// the architecture defines: no UNPREDICTABLE forms (no SP or PC where they are
// forbidden, no writeback to a loaded register), base registers pointing into
// RAM, branch targets in flash, no SVC, BKPT, MSR, MRS, CPS, WFI, WFE, SEV or
// YIELD, no writes to the PC but by branches. The run is deterministic (fixed
// seeds).
//
// Left out because the library and the architecture disagree there:
// - LDM, STM, PUSH, POP, LDRD, STRD and the exclusives on an address that is
//   not word-aligned: the architecture faults (the core does), the library
//   runs them. The generators keep those addresses aligned; where an earlier
//   instruction of an IT block changed the base, our fault on a misaligned
//   address counts as agreeing.
// - A value with either of its two low bits set written to SP: the
//   architecture keeps them zero, the library keeps the value. SP forms are
//   only given word-aligned values; where an IT block's random instructions
//   write SP all the same, the library's SP loses those bits before each
//   instruction (a code hook), and SP is compared without them.
// - YIELD: a hint that does nothing on the core; the library stops on it as
//   on an undefined instruction.
// - Some of the DSP extension's encodings, which the Cortex-M3 does not
//   have and the library's Cortex-M3 runs: SXTAB, SXTAH, UXTAB, UXTAH,
//   SMLAD, SMLAWx, SMLSD, SMLALD, SMLSLD, USAD8, SSAT16, USAT16; and SETEND.
//   The Undefined group has the others.
// - STREX to another address than the LDREX before it (left to the
//   implementation): each STREX here follows an LDREX of its own address.
#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sim/cpu/thumb/interpreter.h"
#include "splitmix.h"

namespace {

using sim::thumb::Interpreter;

constexpr std::uint32_t kFlashBase = 0x08000000u;
constexpr std::uint32_t kFlashSize = 0x10000u;
constexpr std::uint32_t kRamBase = 0x20000000u;
constexpr std::uint32_t kRamSize = 0x2000u;
// Each case runs from its own slot of flash, taken in turn: the interpreter
// keeps decoded forms of flash, which are dropped once the slots wrap, and
// the library's translations of a slot are dropped before it runs.
constexpr std::uint32_t kSlotsBase = kFlashBase + 0x4000u;
constexpr std::uint32_t kSlotSize = 32u;
constexpr std::uint32_t kSlotCount = 0x8000u / kSlotSize;
// Branch targets stay this close to the branch (in flash on both sides).
constexpr std::int32_t kBranchReach = 0x3000;

class Rng : public thumb_test::Rng {
 public:
  using thumb_test::Rng::Rng;

  // A register value: edge values and small shift amounts often.
  std::uint32_t value() {
    static constexpr std::uint32_t kEdges[] = {0u,          1u,          2u,          0x7FFFFFFFu, 0x80000000u,
                                               0x80000001u, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x0000FFFFu, 0x00008000u,
                                               0xFFFF8000u, 0x7Fu,       0x80u,       0xFFu,       0x00010000u};
    switch (below(10)) {
      case 0:
      case 1:
      case 2:
        return kEdges[below(sizeof kEdges / sizeof kEdges[0])];
      case 3:
      case 4:
        return below(34);
      case 5:
        return 0u - below(34);
      default:
        return next();
    }
  }
};

struct Patch {
  std::uint32_t address;
  unsigned size;
  std::uint32_t value;
};

// One case: code at a slot, the state it starts from, and how far it runs.
struct Case {
  std::vector<std::uint16_t> code;
  unsigned count = 1;  // instructions the case is (an IT block: with its IT)
  // The code ends on an undefined instruction, which stops the library
  // there (IT blocks: see runLibrary()); the case does not run it.
  bool stopAtEnd = false;
  std::uint32_t regs[15] = {};
  std::uint32_t apsr = 0;
  std::vector<Patch> patches;  // RAM set before the run
};

// How a run ended.
struct Outcome {
  bool faulted = false;
  bool unaligned = false;  // faulted on a multi-word or exclusive access not word-aligned
  std::string why;         // the fault
  std::uint32_t regs[15] = {};
  std::uint32_t pc = 0;
  std::uint32_t flags = 0;  // N Z C V Q in bits 31-27
  std::uint32_t it = 0;
  const std::uint8_t* ram = nullptr;
};

std::string hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

// ------------------------------------------------------------------ the two machines

class Machines : public Interpreter::Bus {
 public:
  Machines()
      : flash_(allocate(kFlashSize)), ram_(allocate(kRamSize)), libraryRam_(allocate(kRamSize)), pristine_(kRamSize) {
    Rng fill(0x5EED);
    for (std::uint32_t i = 0; i < kFlashSize; ++i) flash_[i] = static_cast<std::uint8_t>(fill.next());
    for (auto& b : pristine_) b = static_cast<std::uint8_t>(fill.next());
    Interpreter::Memory m;
    m.flash = flash_;
    m.flashBase = kFlashBase;
    m.flashSize = kFlashSize;
    m.ram = ram_;
    m.ramBase = kRamBase;
    m.ramSize = kRamSize;
    ours_ = std::make_unique<Interpreter>(m, *this);
    ok_ = open();
  }
  ~Machines() {
    if (uc_ != nullptr) uc_close(uc_);
    std::free(flash_);
    std::free(ram_);
    std::free(libraryRam_);
  }
  Machines(const Machines&) = delete;
  Machines& operator=(const Machines&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // The slot the next case runs in; the code itself is set by run().
  std::uint32_t nextSlot() const { return kSlotsBase + slot_ * kSlotSize; }

  // Runs the case on both machines from `at`, in the next slot.
  void run(const Case& c, std::uint32_t at, Outcome& ours, Outcome& library) {
    if (++slot_ == kSlotCount) slot_ = 0;
    std::uint8_t* code = flash_ + (at - kFlashBase);
    for (std::size_t i = 0; i < c.code.size(); ++i) {
      code[2 * i] = static_cast<std::uint8_t>(c.code[i]);
      code[2 * i + 1] = static_cast<std::uint8_t>(c.code[i] >> 8);
    }
    if (slot_ == 0) ours_->flashChanged();
    std::memcpy(ram_, pristine_.data(), kRamSize);
    std::memcpy(libraryRam_, pristine_.data(), kRamSize);
    for (const Patch& p : c.patches) {
      for (unsigned i = 0; i < p.size; ++i) {
        ram_[p.address - kRamBase + i] = static_cast<std::uint8_t>(p.value >> (8 * i));
        libraryRam_[p.address - kRamBase + i] = static_cast<std::uint8_t>(p.value >> (8 * i));
      }
    }
    runOurs(c, at, ours);
    runLibrary(c, at, library);
  }

  std::uint32_t read(std::uint32_t, unsigned) override { return 0; }
  void write(std::uint32_t, unsigned, std::uint32_t) override {}

 private:
  static std::uint8_t* allocate(std::uint32_t size) {
    return static_cast<std::uint8_t*>(std::aligned_alloc(4096, size));
  }

  bool open() {
    uc_err err = uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_);
    if (err == UC_ERR_OK) err = uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M3);
    if (err == UC_ERR_OK) err = uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_);
    // Flash is also seen at 0 (where a base register of 0 reads it).
    if (err == UC_ERR_OK) err = uc_mem_map_ptr(uc_, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_);
    if (err == UC_ERR_OK) err = uc_mem_map_ptr(uc_, kRamBase, kRamSize, UC_PROT_ALL, libraryRam_);
    if (err == UC_ERR_OK) err = uc_hook_add(uc_, &spHook_, UC_HOOK_CODE, reinterpret_cast<void*>(&alignSp), nullptr, 1, 0);
    if (err != UC_ERR_OK) error_ = uc_strerror(err);
    return err == UC_ERR_OK;
  }

  // SP's two low bits read as zero on the core.
  static void alignSp(uc_engine* uc, std::uint64_t, std::uint32_t, void*) {
    std::uint32_t sp = 0;
    uc_reg_read(uc, UC_ARM_REG_SP, &sp);
    if ((sp & 3u) != 0) {
      sp &= ~3u;
      uc_reg_write(uc, UC_ARM_REG_SP, &sp);
    }
  }

  void runOurs(const Case& c, std::uint32_t at, Outcome& o) {
    Interpreter& cpu = *ours_;
    for (unsigned n = 0; n < 15; ++n) cpu.setR(n, c.regs[n]);
    cpu.setApsr(c.apsr);
    cpu.setItState(0);
    cpu.exclusiveOpen = false;
    cpu.setPc(at);
    cpu.count = 0;
    cpu.limit = c.count;
    const Interpreter::Exit exit = cpu.run();
    o = Outcome{};
    if (exit == Interpreter::Exit::Fault) {
      const Interpreter::FaultInfo& f = cpu.faultInfo();
      o.faulted = true;
      o.why = f.what;
      o.unaligned = f.what == "usage fault: unaligned access" && f.hasAddress && (f.address & 3u) != 0;
    } else if (exit != Interpreter::Exit::Limit) {
      o.faulted = true;
      o.why = "run ended otherwise than at its limit (exit " + std::to_string(static_cast<int>(exit)) + ")";
    }
    for (unsigned n = 0; n < 15; ++n) o.regs[n] = cpu.r(n);
    o.pc = cpu.pc();
    o.flags = cpu.apsr() & 0xF8000000u;
    o.it = cpu.itState();
    o.ram = ram_;
  }

  void runLibrary(const Case& c, std::uint32_t at, Outcome& o) {
    static constexpr int kIds[15] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3, UC_ARM_REG_R4,
                                     UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,  UC_ARM_REG_R8, UC_ARM_REG_R9,
                                     UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR};
    const std::uint32_t end = at + 2 * static_cast<std::uint32_t>(c.code.size()) - 2u;
    const std::uint64_t slot = at & ~(kSlotSize - 1u);
    uc_ctl_remove_cache(uc_, slot, slot + kSlotSize);
    std::uint32_t zero = 0;
    uc_reg_write(uc_, UC_ARM_REG_ITSTATE, &zero);
    for (unsigned n = 0; n < 15; ++n) uc_reg_write(uc_, kIds[n], &c.regs[n]);
    uc_reg_write(uc_, UC_ARM_REG_APSR, &c.apsr);
    // The library does not count the instructions of an IT block whose
    // condition fails, so it may go on past the block: the undefined
    // instruction there stops it, and stopping there is the case's end.
    // (An address to run until would also do, but costs the library a
    // flush of all its translations on each run.)
    uc_err err = uc_emu_start(uc_, at | 1u, 0xFFFFFFFFu, 0, c.count);
    std::uint32_t pc = 0;
    uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
    if (c.stopAtEnd && err == UC_ERR_INSN_INVALID && pc == end) err = UC_ERR_OK;
    o = Outcome{};
    if (err != UC_ERR_OK) {
      o.faulted = true;
      o.why = uc_strerror(err);
    }
    for (unsigned n = 0; n < 15; ++n) uc_reg_read(uc_, kIds[n], &o.regs[n]);
    // SP's two low bits are zero on the core whatever is written there; the
    // library keeps them.
    o.regs[13] &= ~3u;
    uc_reg_read(uc_, UC_ARM_REG_PC, &o.pc);
    std::uint32_t apsr = 0;
    uc_reg_read(uc_, UC_ARM_REG_APSR, &apsr);
    o.flags = apsr & 0xF8000000u;
    uc_reg_read(uc_, UC_ARM_REG_ITSTATE, &o.it);
    o.it &= 0xFFu;
    o.ram = libraryRam_;
  }

  std::uint8_t* flash_;
  std::uint8_t* ram_;
  std::uint8_t* libraryRam_;
  std::vector<std::uint8_t> pristine_;
  std::unique_ptr<Interpreter> ours_;
  uc_engine* uc_ = nullptr;
  uc_hook spHook_ = 0;
  bool ok_ = false;
  std::string error_;
  std::uint32_t slot_ = 0;
};

// One library instance for the whole run.
Machines& machines() {
  static Machines m;
  return m;
}

// What differs between two outcomes, empty where they agree.
std::string differences(const Outcome& a, const Outcome& b) {
  if (a.faulted && b.faulted) return {};
  // The architecture faults there, the library does not (see the top).
  if (a.unaligned && !b.faulted) return {};
  if (a.faulted != b.faulted) return a.faulted ? "only ours faulted" : "only the library faulted";
  std::string d;
  for (unsigned n = 0; n < 15; ++n) {
    if (a.regs[n] != b.regs[n]) d += " r" + std::to_string(n);
  }
  if (a.pc != b.pc) d += " pc";
  static const char kFlagNames[] = "NZCVQ";
  for (unsigned f = 0; f < 5; ++f) {
    if (((a.flags ^ b.flags) >> (31 - f) & 1u) != 0) d += std::string(" ") + kFlagNames[f];
  }
  if (a.it != b.it) d += " itstate";
  if (std::memcmp(a.ram, b.ram, kRamSize) != 0) {
    for (std::uint32_t i = 0; i < kRamSize; ++i) {
      if (a.ram[i] != b.ram[i]) {
        d += " ram@" + hex(kRamBase + i);
        break;
      }
    }
  }
  return d;
}

std::string describe(const Outcome& o) {
  if (o.faulted) return "faulted (" + o.why + ")";
  std::string s;
  for (unsigned n = 0; n < 15; ++n) s += " r" + std::to_string(n) + "=" + hex(o.regs[n]);
  s += " pc=" + hex(o.pc) + " nzcvq=" + hex(o.flags >> 27).substr(6) + " it=" + hex(o.it).substr(6);
  return s;
}

// ------------------------------------------------------------------ generators

// Builds one case: the code from `base` on and the state it starts from.
struct Gen {
  Rng& r;
  Case& c;
  std::uint32_t base;

  // The address of the next instruction emitted.
  std::uint32_t at() const { return base + 2 * static_cast<std::uint32_t>(c.code.size()); }
  void h(std::uint32_t v) { c.code.push_back(static_cast<std::uint16_t>(v)); }
  void w(std::uint32_t first, std::uint32_t second) {
    h(first);
    h(second);
  }
  unsigned low() { return r.below(8); }
  // r0-r12 and r14: what the 32-bit encodings allow where SP and PC are not.
  unsigned reg() {
    const unsigned n = r.below(14);
    return n == 13 ? 14 : n;
  }
  unsigned regOtherThan(unsigned a, unsigned b = 16, unsigned c2 = 16) {
    for (;;) {
      const unsigned n = reg();
      if (n != a && n != b && n != c2) return n;
    }
  }
  unsigned lowOtherThan(unsigned a, unsigned b = 16) {
    for (;;) {
      const unsigned n = low();
      if (n != a && n != b) return n;
    }
  }
  void set(unsigned n, std::uint32_t v) { c.regs[n] = v; }
  // An address in RAM with `room` bytes from it, aligned to `align` (or now
  // and then not, where `misalign`).
  std::uint32_t ram(std::uint32_t align, std::uint32_t room, bool misalign = false) {
    std::uint32_t a = kRamBase + 16u + r.below(kRamSize - room - 32u);
    if (!(misalign && r.chance(20))) a &= ~(align - 1u);
    return a;
  }
  // An even branch offset that keeps the target in flash, within `reach`.
  std::int32_t offset(std::int32_t reach) {
    std::int32_t o = static_cast<std::int32_t>(r.below(static_cast<std::uint32_t>(2 * reach))) - reach;
    return o & ~1;
  }
  // An address in flash to branch to, with the Thumb bit.
  std::uint32_t flashTarget() { return (kFlashBase + 0x1000u + r.below(kFlashSize - 0x2000u)) | 1u; }
  void patch(std::uint32_t address, unsigned size, std::uint32_t value) { c.patches.push_back({address, size, value}); }
};

// The architecture's expansion of a 12-bit modified immediate, for the
// generators to keep SP results aligned; false where the encoding is
// UNPREDICTABLE (a zero byte in a repeated pattern).
bool expandImm(std::uint32_t imm12, std::uint32_t& out) {
  const std::uint32_t imm8 = imm12 & 0xFFu;
  if ((imm12 >> 10) == 0) {
    switch ((imm12 >> 8) & 3u) {
      case 0:
        out = imm8;
        return true;
      case 1:
        out = imm8 << 16 | imm8;
        break;
      case 2:
        out = imm8 << 24 | imm8 << 8;
        break;
      default:
        out = imm8 * 0x01010101u;
        break;
    }
    return imm8 != 0;
  }
  const std::uint32_t unrotated = 0x80u | (imm12 & 0x7Fu);
  const unsigned rot = imm12 >> 7;
  out = unrotated >> rot | unrotated << (32 - rot);
  return true;
}

// A 32-bit shift field: imm3:imm2 and the type, amounts 0, 1 and 31 often.
std::uint32_t shiftField(Rng& r) {
  static constexpr unsigned kAmounts[] = {0, 1, 31, 16};
  const unsigned amount = r.chance(40) ? kAmounts[r.below(4)] : r.below(32);
  return (amount >> 2) << 12 | (amount & 3u) << 6 | r.below(4) << 4;
}

// --- 16-bit arithmetic and logic.
void dataProcessing16(Gen& g) {
  Rng& r = g.r;
  switch (r.below(12)) {
    case 0:  // LSL/LSR/ASR #imm5
      g.h(r.below(3) << 11 | r.below(32) << 6 | g.low() << 3 | g.low());
      break;
    case 1:  // ADD/SUB register
      g.h(0x1800u | r.below(2) << 9 | g.low() << 6 | g.low() << 3 | g.low());
      break;
    case 2:  // ADD/SUB #imm3
      g.h(0x1C00u | r.below(2) << 9 | r.below(8) << 6 | g.low() << 3 | g.low());
      break;
    case 3:  // MOV/CMP/ADD/SUB #imm8
      g.h(0x2000u | r.below(4) << 11 | g.low() << 8 | r.below(256));
      break;
    case 4:
    case 5:  // the register data-processing ops, MUL among them
      g.h(0x4000u | r.below(16) << 6 | g.low() << 3 | g.low());
      break;
    case 6: {  // ADD Rdn, Rm with any registers but the PC as the destination
      const unsigned d = r.below(15);
      const unsigned m = r.below(16);
      if (d == 13 && m != 13 && m != 15) g.set(m, r.below(0x400) * 4u);
      g.h(0x4400u | (d >> 3) << 7 | m << 3 | (d & 7u));
      break;
    }
    case 7: {  // CMP Rn, Rm, not both low, neither the PC
      unsigned n, m;
      do {
        n = r.below(15);
        m = r.below(15);
      } while (n < 8 && m < 8);
      g.h(0x4500u | (n >> 3) << 7 | m << 3 | (n & 7u));
      break;
    }
    case 8: {  // MOV Rd, Rm, not to the PC
      const unsigned d = r.below(15);
      const unsigned m = r.below(16);
      if (d == 13 && m != 13 && m != 15) g.set(m, g.ram(4, 0));
      g.h(0x4600u | (d >> 3) << 7 | m << 3 | (d & 7u));
      break;
    }
    case 9:  // ADR
      g.h(0xA000u | g.low() << 8 | r.below(256));
      break;
    case 10:  // ADD Rd, SP, #imm8
      g.h(0xA800u | g.low() << 8 | r.below(256));
      break;
    default:  // ADD/SUB SP, SP, #imm7
      g.h(0xB000u | r.below(2) << 7 | r.below(128));
      break;
  }
}

// --- 32-bit data processing with a modified immediate.
void dataProcessing32Imm(Gen& g) {
  Rng& r = g.r;
  static constexpr unsigned kOps[] = {0, 1, 2, 3, 4, 8, 10, 11, 13, 14};
  const unsigned op = kOps[r.below(10)];
  unsigned s = r.below(2);
  std::uint32_t imm12, value;
  do {
    imm12 = r.below(4096);
  } while (!expandImm(imm12, value));
  unsigned d = g.reg(), n = g.reg();
  switch (op) {
    case 0:  // AND, TST
    case 4:  // EOR, TEQ
      if (r.chance(30)) {
        d = 15;
        s = 1;
      }
      break;
    case 2:  // ORR, MOV
    case 3:  // ORN, MVN
      if (r.chance(40)) n = 15;
      break;
    case 8:   // ADD, CMN, ADD SP
    case 13:  // SUB, CMP, SUB SP
      if (r.chance(25)) n = 13;
      if (r.chance(25)) {
        d = 15;
        s = 1;
      } else if (n == 13 && r.chance(50)) {
        // SP to SP: the immediate keeps it word-aligned.
        do {
          imm12 = r.below(4096);
        } while (!expandImm(imm12, value) || (value & 3u) != 0);
        d = 13;
      }
      break;
    default:
      break;
  }
  const std::uint32_t first = 0xF000u | (imm12 >> 11) << 10 | op << 5 | s << 4 | n;
  const std::uint32_t second = ((imm12 >> 8) & 7u) << 12 | d << 8 | (imm12 & 0xFFu);
  g.w(first, second);
}

// --- 32-bit data processing with a shifted register.
void dataProcessing32Reg(Gen& g) {
  Rng& r = g.r;
  static constexpr unsigned kOps[] = {0, 1, 2, 3, 4, 8, 10, 11, 13, 14};
  const unsigned op = kOps[r.below(10)];
  unsigned s = r.below(2);
  unsigned d = g.reg(), n = g.reg();
  const unsigned m = g.reg();
  switch (op) {
    case 0:
    case 4:
      if (r.chance(30)) {
        d = 15;
        s = 1;
      }
      break;
    case 2:  // ORR, and with Rn = PC: MOV and the shifts by an immediate
    case 3:  // ORN, MVN
      if (r.chance(50)) n = 15;
      break;
    case 8:
    case 13:
      if (r.chance(25)) n = 13;
      if (r.chance(25)) {
        d = 15;
        s = 1;
      }
      break;
    default:
      break;
  }
  g.w(0xEA00u | op << 5 | s << 4 | n, d << 8 | shiftField(r) | m);
}

// --- extends, byte reversals, plain immediates, bit fields, saturation,
// register-controlled shifts, CLZ and RBIT.
void bitOperations(Gen& g) {
  Rng& r = g.r;
  switch (r.below(13)) {
    case 0:  // SXTH, SXTB, UXTH, UXTB
      g.h(0xB200u | r.below(4) << 6 | g.low() << 3 | g.low());
      break;
    case 1: {  // REV, REV16, REVSH
      static constexpr unsigned kOps[] = {0, 1, 3};
      g.h(0xBA00u | kOps[r.below(3)] << 6 | g.low() << 3 | g.low());
      break;
    }
    case 2: {  // ADDW, SUBW, and ADR (Rn = PC), ADD/SUB SP (Rn = SP)
      const unsigned pick = r.below(4);
      const unsigned n = pick == 0 ? 15u : pick == 1 ? 13u : g.reg();
      const std::uint32_t imm12 = r.below(4096);
      g.w(0xF200u | (imm12 >> 11) << 10 | (r.bit() ? 0xA0u : 0u) | n,
          ((imm12 >> 8) & 7u) << 12 | g.reg() << 8 | (imm12 & 0xFFu));
      break;
    }
    case 3: {  // MOVW, MOVT
      const std::uint32_t imm16 = r.chance(30) ? r.value() & 0xFFFFu : r.below(65536);
      g.w((r.bit() ? 0xF2C0u : 0xF240u) | ((imm16 >> 11) & 1u) << 10 | imm16 >> 12,
          ((imm16 >> 8) & 7u) << 12 | g.reg() << 8 | (imm16 & 0xFFu));
      break;
    }
    case 4: {  // SSAT, USAT: LSL #n or ASR #1-31
      const unsigned sh = r.below(2);
      unsigned amount = r.below(32);
      if (sh == 1 && amount == 0) amount = 1 + r.below(31);
      g.w((r.bit() ? 0xF380u : 0xF300u) | sh << 5 | g.reg(),
          (amount >> 2) << 12 | g.reg() << 8 | (amount & 3u) << 6 | r.below(32));
      break;
    }
    case 5: {  // SBFX, UBFX
      const unsigned lsb = r.below(32);
      const unsigned widthm1 = r.below(32 - lsb);
      g.w((r.bit() ? 0xF3C0u : 0xF340u) | g.reg(), (lsb >> 2) << 12 | g.reg() << 8 | (lsb & 3u) << 6 | widthm1);
      break;
    }
    case 6: {  // BFI, BFC (Rn = PC)
      const unsigned lsb = r.below(32);
      const unsigned msb = lsb + r.below(32 - lsb);
      g.w(0xF360u | (r.chance(25) ? 15u : g.reg()), (lsb >> 2) << 12 | g.reg() << 8 | (lsb & 3u) << 6 | msb);
      break;
    }
    case 7:
    case 8:  // LSL, LSR, ASR, ROR by a register, with or without flags
      g.w(0xFA00u | r.below(4) << 5 | r.below(2) << 4 | g.reg(), 0xF000u | g.reg() << 8 | g.reg());
      break;
    case 9: {  // SXTH, UXTH, SXTB, UXTB with a rotation
      static constexpr unsigned kFirst[] = {0xFA0Fu, 0xFA1Fu, 0xFA4Fu, 0xFA5Fu};
      g.w(kFirst[r.below(4)], 0xF080u | g.reg() << 8 | r.below(4) << 4 | g.reg());
      break;
    }
    case 10: {  // REV, REV16, RBIT, REVSH
      const unsigned m = g.reg();
      g.w(0xFA90u | m, 0xF080u | g.reg() << 8 | r.below(4) << 4 | m);
      break;
    }
    case 11: {  // CLZ
      const unsigned m = g.reg();
      g.w(0xFAB0u | m, 0xF080u | g.reg() << 8 | m);
      break;
    }
    default: {  // ADR.W forward and back
      const std::uint32_t imm12 = r.below(4096);
      g.w((r.bit() ? 0xF2AFu : 0xF20Fu) | (imm12 >> 11) << 10,
          ((imm12 >> 8) & 7u) << 12 | g.reg() << 8 | (imm12 & 0xFFu));
      break;
    }
  }
}

// --- multiplies and divides.
void multiply(Gen& g) {
  Rng& r = g.r;
  switch (r.below(5)) {
    case 0:  // MUL
      g.w(0xFB00u | g.reg(), 0xF000u | g.reg() << 8 | g.reg());
      break;
    case 1:  // MLA, MLS
      g.w(0xFB00u | g.reg(), g.reg() << 12 | g.reg() << 8 | r.below(2) << 4 | g.reg());
      break;
    case 2:
    case 3: {  // SMULL, UMULL, SMLAL, UMLAL
      static constexpr unsigned kFirst[] = {0xFB80u, 0xFBA0u, 0xFBC0u, 0xFBE0u};
      const unsigned lo = g.reg();
      const unsigned hi = g.regOtherThan(lo);
      g.w(kFirst[r.below(4)] | g.reg(), lo << 12 | hi << 8 | g.reg());
      break;
    }
    default: {  // SDIV, UDIV, with 0 and -1 as divisors often
      const unsigned m = g.reg();
      if (r.chance(30)) g.set(m, r.bit() ? 0u : 0xFFFFFFFFu);
      g.w((r.bit() ? 0xFBB0u : 0xFB90u) | g.reg(), 0xF0F0u | g.reg() << 8 | m);
      break;
    }
  }
}

// --- 16-bit loads and stores.
void loadStore16(Gen& g) {
  Rng& r = g.r;
  switch (r.below(6)) {
    case 0:  // LDR (literal)
      g.h(0x4800u | g.low() << 8 | r.below(256));
      break;
    case 1: {  // the register-offset forms
      static constexpr unsigned kSizes[] = {4, 2, 1, 1, 4, 2, 1, 2};
      const unsigned op = r.below(8);
      const unsigned n = g.low();
      const unsigned m = g.lowOtherThan(n);
      const std::uint32_t address = g.ram(kSizes[op], 4, true);
      const std::uint32_t index = r.below(64) - 32u;
      g.set(m, index);
      g.set(n, address - index);
      g.h(0x5000u | op << 9 | m << 6 | n << 3 | g.low());
      break;
    }
    case 2:
    case 3:
    case 4: {  // STR/LDR, STRB/LDRB, STRH/LDRH with #imm5
      static constexpr std::uint32_t kBase[] = {0x6000u, 0x7000u, 0x8000u};
      static constexpr unsigned kScale[] = {4, 1, 2};
      const unsigned kind = r.below(3);
      const unsigned imm5 = r.below(32);
      const unsigned n = g.low();
      const std::uint32_t address = g.ram(kScale[kind], 4, kind != 1);
      g.set(n, address - imm5 * kScale[kind]);
      g.h(kBase[kind] | r.below(2) << 11 | imm5 << 6 | n << 3 | g.low());
      break;
    }
    default: {  // STR/LDR SP-relative
      const unsigned imm8 = r.below(256);
      g.set(13, g.ram(4, 4) - imm8 * 4u);
      g.h(0x9000u | r.below(2) << 11 | g.low() << 8 | imm8);
      break;
    }
  }
}

// --- 32-bit loads and stores, exclusives, table branches, preloads.
void loadStore32Kind(Gen& g, unsigned which) {
  Rng& r = g.r;
  // Sizes by the size field: byte, halfword, word.
  static constexpr unsigned kBytes[] = {1, 2, 4};
  switch (which) {
    case 0:
    case 1: {  // #imm12, #+/-imm8 with index and writeback, register offset
      const bool load = r.bit();
      const unsigned size = r.below(3);
      const bool signedLoad = load && size < 2 && r.bit();
      // SP as the base only with word-aligned addresses and offsets.
      const unsigned n = r.chance(15) ? 13u : g.reg();
      const std::uint32_t keep = n == 13 ? ~3u : ~0u;
      unsigned t = g.reg();
      const std::uint32_t address = g.ram(n == 13 ? 4 : kBytes[size], 4, n != 13);
      const std::uint32_t first = 0xF800u | (signedLoad ? 0x100u : 0u) | size << 5 | (load ? 0x10u : 0u);
      switch (r.below(3)) {
        case 0: {
          const std::uint32_t imm12 = r.below(4096) & keep;
          g.set(n, address - imm12);
          g.w(first | 0x80u | n, t << 12 | imm12);
          break;
        }
        case 1: {
          // P U W: offset, pre-indexed or post-indexed, and the unprivileged
          // form (P=1 U=1 W=0).
          unsigned p, u, wb;
          do {
            p = r.below(2);
            u = r.below(2);
            wb = r.below(2);
          } while (p == 0 && wb == 0);
          const std::uint32_t imm8 = r.below(256) & keep;
          if (wb == 1 && t == n) t = g.regOtherThan(n);
          g.set(n, p == 0 ? address : u == 1 ? address - imm8 : address + imm8);
          g.w(first | n, t << 12 | 0x800u | p << 10 | u << 9 | wb << 8 | imm8);
          break;
        }
        default: {
          const unsigned m = g.regOtherThan(n);
          const unsigned shift = r.below(4);
          const std::uint32_t index = r.below(16) & keep;
          g.set(m, index);
          g.set(n, address - (index << shift));
          g.w(first | n, t << 12 | shift << 4 | m);
          break;
        }
      }
      break;
    }
    case 2: {  // loads from a literal, either way
      const unsigned size = r.below(3);
      const bool signedLoad = size < 2 && r.bit();
      g.w(0xF81Fu | (signedLoad ? 0x100u : 0u) | r.below(2) << 7 | size << 5, g.reg() << 12 | r.below(4096));
      break;
    }
    case 3: {  // LDRD, STRD: offset, pre- or post-indexed; LDRD from a literal
      const bool load = r.bit();
      unsigned p, u, wb;
      do {
        p = r.below(2);
        u = r.below(2);
        wb = r.below(2);
      } while (p == 0 && wb == 0);
      const std::uint32_t imm8 = r.below(256);
      const unsigned t = g.reg();
      const unsigned t2 = load ? g.regOtherThan(t) : g.reg();
      if (load && r.chance(15)) {
        g.w(0xE95Fu | u << 7, t << 12 | t2 << 8 | imm8);
        break;
      }
      const unsigned n = r.chance(15) ? 13u : wb == 1 ? g.regOtherThan(t, t2) : g.reg();
      const std::uint32_t address = g.ram(4, 8);
      g.set(n, p == 0 ? address : u == 1 ? address - imm8 * 4u : address + imm8 * 4u);
      g.w(0xE840u | p << 8 | u << 7 | wb << 5 | (load ? 0x10u : 0u) | n, t << 12 | t2 << 8 | imm8);
      break;
    }
    case 4:
    case 5: {                            // LDREX then STREX (and a second STREX, which fails), by size
      const unsigned kind = r.below(3);  // word, byte, halfword
      const unsigned n = g.reg();
      const unsigned t = g.regOtherThan(n);
      const unsigned d = g.regOtherThan(n);
      unsigned t2 = g.regOtherThan(d);
      const std::uint32_t imm8 = kind == 0 ? r.below(256) : 0u;
      const std::uint32_t address = g.ram(4, 4);
      g.set(n, address - imm8 * 4u);
      if (kind == 0) {
        g.w(0xE850u | n, t << 12 | 0xF00u | imm8);
      } else {
        g.w(0xE8D0u | n, t << 12 | (kind == 1 ? 0xF4Fu : 0xF5Fu));
      }
      const unsigned stores = 1 + r.below(2);
      for (unsigned i = 0; i < stores; ++i) {
        if (kind == 0) {
          g.w(0xE840u | n, t2 << 12 | d << 8 | imm8);
        } else {
          g.w(0xE8C0u | n, t2 << 12 | (kind == 1 ? 0xF40u : 0xF50u) | d);
        }
      }
      g.c.count = 1 + stores;
      break;
    }
    case 6: {  // TBB, TBH on a table in RAM, or right after the instruction
      const bool half = r.bit();
      const unsigned m = g.reg();
      const std::uint32_t index = r.below(4);
      g.set(m, index);
      const auto entry = [&] { return half ? r.below(0x1000) : r.below(256); };
      if (r.chance(30)) {
        g.w(0xE8DFu, 0xF000u | (half ? 0x10u : 0u) | m);
        std::vector<std::uint8_t> table(8);
        for (unsigned i = 0; i < 4; ++i) {
          const std::uint32_t e = entry();
          if (half) {
            table[2 * i] = static_cast<std::uint8_t>(e);
            table[2 * i + 1] = static_cast<std::uint8_t>(e >> 8);
          } else {
            table[i] = static_cast<std::uint8_t>(e);
          }
        }
        for (unsigned i = 0; i < 4; ++i) g.h(table[2 * i] | table[2 * i + 1] << 8);
      } else {
        const unsigned n = g.regOtherThan(m);
        const std::uint32_t table = g.ram(2, 16);
        g.set(n, table);
        g.patch(table + (half ? 2 * index : index), half ? 2 : 1, entry());
        g.w(0xE8D0u | n, 0xF000u | (half ? 0x10u : 0u) | m);
      }
      break;
    }
    case 7: {  // PLD, PLI: #imm12, #-imm8, register, literal
      const unsigned pli = r.below(2) << 8;
      switch (r.below(4)) {
        case 0:
          g.w(0xF890u | pli | g.reg(), 0xF000u | r.below(4096));
          break;
        case 1:
          g.w(0xF810u | pli | g.reg(), 0xFC00u | r.below(256));
          break;
        case 2:
          g.w(0xF810u | pli | g.reg(), 0xF000u | r.below(4) << 4 | g.reg());
          break;
        default:
          g.w(0xF81Fu | pli | r.below(2) << 7, 0xF000u | r.below(4096));
          break;
      }
      break;
    }
    case 8: {  // LDR PC, [Rn, #imm12] and LDR PC, [SP], #4: a branch
      const std::uint32_t address = g.ram(4, 4);
      g.patch(address, 4, r.chance(90) ? g.flashTarget() : g.flashTarget() & ~1u);
      if (r.bit()) {
        const unsigned n = g.reg();
        const std::uint32_t imm12 = r.below(4096);
        g.set(n, address - imm12);
        g.w(0xF8D0u | n, 0xF000u | imm12);
      } else {
        g.set(13, address);
        g.w(0xF85Du, 0xFB04u);
      }
      break;
    }
    default: {  // PUSH/POP of one register (STR/LDR with SP and writeback)
      const unsigned t = g.reg();
      g.set(13, g.ram(4, 8) + 4u);
      if (r.bit()) {
        g.w(0xF84Du, t << 12 | 0xD04u);  // STR Rt, [SP, #-4]!
      } else {
        g.w(0xF85Du, t << 12 | 0xB04u);  // LDR Rt, [SP], #4
      }
      break;
    }
  }
}

void loadStore32(Gen& g) { loadStore32Kind(g, g.r.below(10)); }

// The single loads and stores, LDRD/STRD and preloads, for IT blocks.
void loadStore32Single(Gen& g) {
  static constexpr unsigned kKinds[] = {0, 1, 2, 3, 7, 9};
  loadStore32Kind(g, kKinds[g.r.below(6)]);
}

// A register list of `count`-ish registers out of `allowed`, never empty.
std::uint32_t registerList(Rng& r, std::uint32_t allowed, unsigned atLeast) {
  for (;;) {
    const std::uint32_t list = r.next() & allowed;
    if (static_cast<unsigned>(__builtin_popcount(list)) >= atLeast) return list;
  }
}

// --- PUSH, POP, LDM, STM.
void multiple(Gen& g) {
  Rng& r = g.r;
  switch (r.below(6)) {
    case 0: {  // PUSH
      const std::uint32_t list = registerList(r, 0x1FFu, 1);
      g.set(13, g.ram(4, 4) + 40u);
      g.h(0xB400u | list);
      break;
    }
    case 1: {  // POP, to the PC too
      const std::uint32_t list = registerList(r, 0x1FFu, 1);
      const std::uint32_t sp = g.ram(4, 40);
      g.set(13, sp);
      if ((list & 0x100u) != 0) {
        g.patch(sp + 4u * (static_cast<unsigned>(__builtin_popcount(list)) - 1u), 4,
                r.chance(90) ? g.flashTarget() : g.flashTarget() & ~1u);
      }
      g.h(0xBC00u | list);
      break;
    }
    case 2: {  // STM: the base in the list only as its lowest register
      const unsigned n = g.low();
      std::uint32_t list = registerList(r, 0xFFu, 1);
      if ((list & (1u << n)) != 0 && (list & ((1u << n) - 1u)) != 0) list &= ~(1u << n);
      if (list == 0) list = 1u << n;
      g.set(n, g.ram(4, 32));
      g.h(0xC000u | n << 8 | list);
      break;
    }
    case 3: {  // LDM (writeback unless the base is in the list)
      const unsigned n = g.low();
      g.set(n, g.ram(4, 32));
      g.h(0xC800u | n << 8 | registerList(r, 0xFFu, 1));
      break;
    }
    case 4: {  // STMIA, STMDB (PUSH.W), with or without writeback
      const bool before = r.bit();
      const unsigned n = r.chance(20) ? 13u : g.reg();
      const unsigned wb = r.below(2);
      std::uint32_t list;
      do {
        list = registerList(r, 0x5FFFu, 2);
        if (wb == 1) list &= ~(1u << n);
      } while (__builtin_popcount(list) < 2);
      g.set(n, g.ram(4, 64) + (before ? 60u : 0u));
      g.w((before ? 0xE900u : 0xE880u) | wb << 5 | n, list);
      break;
    }
    default: {  // LDMIA (POP.W), LDMDB, with or without writeback, to the PC too
      const bool before = r.bit();
      const unsigned n = r.chance(20) ? 13u : g.reg();
      const unsigned wb = r.below(2);
      std::uint32_t list;
      do {
        list = registerList(r, 0xDFFFu, 2);
        if (wb == 1) list &= ~(1u << n);
        if ((list & 0xC000u) == 0xC000u) list &= ~(r.bit() ? 0x8000u : 0x4000u);
      } while (__builtin_popcount(list) < 2);
      const std::uint32_t address = g.ram(4, 64) + (before ? 60u : 0u);
      g.set(n, address);
      if ((list & 0x8000u) != 0) {
        const std::uint32_t last =
            before ? address - 4u : address + 4u * (static_cast<unsigned>(__builtin_popcount(list)) - 1u);
        g.patch(last, 4, r.chance(90) ? g.flashTarget() : g.flashTarget() & ~1u);
      }
      g.w((before ? 0xE910u : 0xE890u) | wb << 5 | n, list);
      break;
    }
  }
}

// The fields of a 32-bit branch offset: S, J1, J2 and the low 21 bits
// (T4's I1 and I2 taken as J1 and J2 through S).
void branchFields(std::int32_t offset, bool conditional, std::uint32_t& first, std::uint32_t& second) {
  const std::uint32_t o = static_cast<std::uint32_t>(offset);
  const std::uint32_t s = o >> 31;
  const std::uint32_t imm11 = (o >> 1) & 0x7FFu;
  if (conditional) {
    const std::uint32_t imm6 = (o >> 12) & 0x3Fu;
    const std::uint32_t j1 = (o >> 18) & 1u, j2 = (o >> 19) & 1u;
    first |= s << 10 | imm6;
    second |= j1 << 13 | j2 << 11 | imm11;
  } else {
    const std::uint32_t imm10 = (o >> 12) & 0x3FFu;
    const std::uint32_t i1 = (o >> 23) & 1u, i2 = (o >> 22) & 1u;
    const std::uint32_t j1 = (~i1 ^ s) & 1u, j2 = (~i2 ^ s) & 1u;
    first |= s << 10 | imm10;
    second |= j1 << 13 | j2 << 11 | imm11;
  }
}

// --- branches and the hints and barriers that do nothing here.
void branches(Gen& g) {
  Rng& r = g.r;
  switch (r.below(10)) {
    case 0:  // B<cond>
      g.h(0xD000u | r.below(14) << 8 | r.below(256));
      break;
    case 1:  // B
      g.h(0xE000u | r.below(2048));
      break;
    case 2: {  // B<cond>.W
      std::uint32_t first = 0xF000u | r.below(14) << 6, second = 0x8000u;
      branchFields(g.offset(kBranchReach), true, first, second);
      g.w(first, second);
      break;
    }
    case 3:
    case 4: {  // B.W, BL
      std::uint32_t first = 0xF000u, second = r.bit() ? 0xD000u : 0x9000u;
      branchFields(g.offset(kBranchReach), false, first, second);
      g.w(first, second);
      break;
    }
    case 5: {  // BX, BLX: now and then to an address without the Thumb bit
      const unsigned m = r.below(15);
      g.set(m, r.chance(90) ? g.flashTarget() : g.flashTarget() & ~1u);
      if (m == 13) g.set(13, g.flashTarget() & ~3u);
      g.h((r.bit() ? 0x4780u : 0x4700u) | m << 3);
      break;
    }
    case 6: {  // CBZ, CBNZ
      const unsigned n = g.low();
      if (r.bit()) g.set(n, 0);
      g.h(0xB100u | r.below(2) << 11 | r.below(2) << 9 | r.below(32) << 3 | n);
      break;
    }
    case 7: {  // MOV PC, Rm and ADD PC, Rm
      const unsigned m = r.below(15);
      const bool add = r.bit();
      const std::uint32_t target = g.flashTarget() ^ r.below(2);
      if (m == 13) {
        g.set(13, add ? g.ram(4, 0) : target & ~3u);
        if (add) break;  // the sum would leave flash: left out
      } else {
        g.set(m, add ? target - (g.at() + 4u) : target);
      }
      g.h((add ? 0x4487u : 0x4687u) | m << 3);
      break;
    }
    case 8:  // NOP
      g.h(0xBF00u);
      break;
    default: {  // NOP.W, DSB, DMB, ISB, CLREX
      static constexpr std::uint16_t kSeconds[] = {0x8000u, 0x8F4Fu, 0x8F5Fu, 0x8F6Fu, 0x8F2Fu};
      const unsigned k = r.below(5);
      g.w(k == 0 ? 0xF3AFu : 0xF3BFu, kSeconds[k]);
      break;
    }
  }
  // ADD PC, SP is the one pick that emits nothing: a plain B instead.
  if (g.c.code.empty()) g.h(0xE000u | r.below(2048));
}

// --- IT and 1-4 instructions of the other groups (not branches) in its block.
void itBlock(Gen& g) {
  Rng& r = g.r;
  static void (*const kInside[])(Gen&) = {dataProcessing16,    dataProcessing16, dataProcessing16, dataProcessing32Imm,
                                          dataProcessing32Reg, bitOperations,    multiply,         loadStore16,
                                          loadStore32Single,   multiple};
  const unsigned firstcond = r.below(15);
  const unsigned length = 1 + r.below(4);
  unsigned mask = 1u << (4 - length);
  for (unsigned k = 1; k < length; ++k) {
    const unsigned x = firstcond == 14 ? 0u : (r.bit() ? firstcond & 1u : ~firstcond & 1u);
    mask |= x << (4 - k);
  }
  g.h(0xBF00u | firstcond << 4 | mask);
  // Now and then the last one is a branch (B or BL) to right after the
  // block, where the run ends whether it is taken or not.
  const bool branchLast = r.chance(25);
  for (unsigned k = 0; k < length; ++k) {
    if (branchLast && k == length - 1) {
      if (r.bit()) {
        g.h(0xE7FFu);  // B to the next halfword: offset -2 from PC
      } else {
        std::uint32_t first = 0xF000u, second = 0xD000u;  // BL to the next instruction: offset 0
        branchFields(0, false, first, second);
        g.w(first, second);
      }
      break;
    }
    for (;;) {
      const std::size_t before = g.c.code.size();
      kInside[r.below(sizeof kInside / sizeof kInside[0])](g);
      // No load to the PC inside a block.
      const std::uint16_t first = g.c.code[before];
      const bool pcLoad =
          ((first & 0xFF00u) == 0xBD00u) || ((first & 0xFE50u) == 0xE810u && (g.c.code[before + 1] & 0x8000u) != 0);
      if (!pcLoad) break;
      g.c.code.resize(before);
      g.c.patches.clear();
    }
  }
  g.h(0xDE00u);  // UDF: where the library stops
  g.c.count = length + 1;
  g.c.stopAtEnd = true;
}

// --- encodings the Cortex-M3 does not have (the DSP extension, floating
// point and other coprocessors, later architectures' additions) and the
// permanently undefined ones, with random fields: both must fault.
void undefined(Gen& g) {
  struct Template {
    std::uint32_t base, random;
  };
  static constexpr Template kTemplates[] = {
      {0xFA80F000u, 0x007F0F7Fu},  // parallel add and subtract
      {0xFA80F080u, 0x000F0F3Fu},  // QADD, QDADD, QSUB, QDSUB
      {0xFAA0F080u, 0x000F0F0Fu},  // SEL
      {0xFA2FF080u, 0x00000F3Fu},  // SXTB16
      {0xFA3FF080u, 0x00000F3Fu},  // UXTB16
      {0xFA30F080u, 0x00000F3Fu},  // UXTAB16
      {0xFB100000u, 0x000FFF3Fu},  // SMLA<x><y>, SMUL<x><y>
      {0xFB500000u, 0x000FFF1Fu},  // SMMLA, SMMUL
      {0xFB600000u, 0x000FFF1Fu},  // SMMLS
      {0xFB000020u, 0x000FFF0Fu},  // the multiply group's unallocated ops
      {0xFB90F0E0u, 0x000F0F00u},  // SDIV's unallocated neighbour
      {0xFBC00080u, 0x000FFF3Fu},  // SMLAL<x><y>
      {0xFBE00060u, 0x000FFF0Fu},  // UMAAL
      {0xEAC00000u, 0x001F7F3Fu},  // PKHBT, PKHTB
      {0xEE000A00u, 0x01FFF1FFu},  // coprocessor and floating point
      {0xE8D00FA0u, 0x000FF00Fu},  // load-acquire
      {0xF7F0A000u, 0x000F0FFFu},  // UDF.W
  };
  Rng& r = g.r;
  if (r.chance(10)) {
    g.h(0xBA80u | r.below(64));  // the byte-reversal group's unallocated op
    return;
  }
  const Template& t = kTemplates[r.below(sizeof kTemplates / sizeof kTemplates[0])];
  const std::uint32_t insn = t.base | (r.next() & t.random);
  g.w(insn >> 16, insn & 0xFFFFu);
}

// ------------------------------------------------------------------ the test

struct Group {
  const char* name;
  void (*generate)(Gen&);
  unsigned cases;
};

const Group kGroups[] = {
    {"DataProcessing16", dataProcessing16, 3000},
    {"DataProcessing32Imm", dataProcessing32Imm, 3000},
    {"DataProcessing32Reg", dataProcessing32Reg, 3000},
    {"BitOperations", bitOperations, 3000},
    {"Multiply", multiply, 2000},
    {"LoadStore16", loadStore16, 3000},
    {"LoadStore32", loadStore32, 3000},
    {"Multiple", multiple, 2000},
    {"Branches", branches, 2000},
    {"It", itBlock, 3000},
    {"Undefined", undefined, 1000},
};

void PrintTo(const Group& group, std::ostream* os) { *os << group.name; }

class ThumbReference : public ::testing::TestWithParam<Group> {};

TEST_P(ThumbReference, AgreesOnRandomInstances) {
  Machines& m = machines();
  ASSERT_TRUE(m.ok()) << "the library did not open: " << m.error();
  const Group& group = GetParam();
  // Each group's own seed: its place in the list (the parameter is a copy,
  // not the list's element).
  std::uint64_t place = 0;
  while (std::strcmp(kGroups[place].name, group.name) != 0) ++place;
  Rng r(0xC0DE0000u + place);
  unsigned mismatches = 0, bothFaulted = 0;
  for (unsigned i = 0; i < group.cases && mismatches < 10; ++i) {
    Case c;
    for (unsigned n = 0; n < 15; ++n) c.regs[n] = r.value();
    c.regs[13] = kRamBase + 0x800u + 4u * r.below(0x400);
    c.apsr = r.next() & 0xF8000000u;
    // Half the cases start on a word boundary, half between two: PC-relative
    // forms align the PC.
    Gen g{r, c, m.nextSlot() + 2u * r.below(2)};
    group.generate(g);
    ASSERT_LE(c.code.size() * 2 + 2, kSlotSize);
    Outcome ours, library;
    m.run(c, g.base, ours, library);
    if (ours.faulted && library.faulted) ++bothFaulted;
    std::string d = differences(ours, library);
    if (d.empty() && group.generate == undefined && !ours.faulted) d = " ours ran it";
    if (d.empty()) continue;
    ++mismatches;
    std::string code;
    for (std::uint16_t hw : c.code) code += " " + hex(hw).substr(4);
    std::string in;
    for (unsigned n = 0; n < 15; ++n) in += " r" + std::to_string(n) + "=" + hex(c.regs[n]);
    ADD_FAILURE() << group.name << " case " << i << ": code" << code << " at " << hex(g.base) << "\n  differ:" << d
                  << "\n  in:     " << in << " nzcvq=" << hex(c.apsr >> 27).substr(6)
                  << "\n  ours:   " << describe(ours) << "\n  library:" << describe(library);
  }
  // A few cases fault on purpose (branches to an address without the Thumb
  // bit; in IT blocks, a base register changed before its load); more would
  // mean a generator gone wrong and the group no longer checked.
  if (group.generate != undefined && mismatches == 0) {
    EXPECT_LE(bothFaulted, group.cases / 20) << group.name << ": cases that fault on both sides";
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, ThumbReference, ::testing::ValuesIn(kGroups),
                         [](const ::testing::TestParamInfo<Group>& p) { return std::string(p.param.name); });

}  // namespace
