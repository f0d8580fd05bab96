// Arithmetic and logic: moves, adds, subtracts, compares and the logical
// operations, in their 16-bit forms and their 32-bit forms with a modified
// immediate or a shifted register.
//
// Every form is one of two handler families, chosen at decode time with
// everything fixed that the encoding fixes: the operation, whether it sets
// the flags (never, always, or only outside an IT block for the 16-bit
// forms), whether it writes a result (not for TST, TEQ, CMP, CMN) and, for a
// register operand, the shift applied to it. Op fields: a = Rd, b = Rn,
// c = Rm, d = the shift amount, e = the carry a rotated immediate gives,
// imm = the immediate.
#include "alu.h"
#include "handler_shapes.h"

namespace sim::thumb {

namespace {

// The register operand after its immediate shift; `carry` holds the carry
// in and receives the shifter's carry out. Amounts: LSL and ROR 1-31, LSR
// and ASR 1-32.
template <Sh kSh>
inline std::uint32_t shifted(std::uint32_t x, unsigned amount, std::uint8_t& carry) {
  if constexpr (kSh == Sh::None) {
    return x;
  } else if constexpr (kSh == Sh::Lsl) {
    carry = static_cast<std::uint8_t>((x >> (32 - amount)) & 1u);
    return x << amount;
  } else if constexpr (kSh == Sh::Lsr) {
    const std::uint64_t wide = x;
    carry = static_cast<std::uint8_t>((wide >> (amount - 1)) & 1u);
    return static_cast<std::uint32_t>(wide >> amount);
  } else if constexpr (kSh == Sh::Asr) {
    const std::int64_t wide = static_cast<std::int32_t>(x);
    carry = static_cast<std::uint8_t>((wide >> (amount - 1)) & 1);
    return static_cast<std::uint32_t>(wide >> amount);
  } else if constexpr (kSh == Sh::Ror) {
    const std::uint32_t r = (x >> amount) | (x << (32 - amount));
    carry = static_cast<std::uint8_t>(r >> 31);
    return r;
  } else {
    const std::uint32_t r = (x >> 1) | (static_cast<std::uint32_t>(carry) << 31);
    carry = static_cast<std::uint8_t>(x & 1u);
    return r;
  }
}

template <Fl kFl>
inline bool setsFlags(const Interpreter& c) {
  return kFl == Fl::Always || (kFl == Fl::OutsideIt && !c.inIt);
}

// x + y + carryIn with its flags, the subtractions as x + NOT(y) + carry.
template <Alu kOp, Fl kFl, bool kWrite>
inline void arithmetic(Interpreter& c, const Op& op, std::uint32_t n, std::uint32_t operand) {
  std::uint32_t x = n, y = operand, r;
  std::uint8_t carry;
  if constexpr (kOp == Alu::Add) {
    r = x + y;
    carry = r < x;
  } else if constexpr (kOp == Alu::Sub) {
    r = x - y;
    carry = x >= y;
    y = ~y;
  } else if constexpr (kOp == Alu::Rsb) {
    r = y - x;
    carry = y >= x;
    x = ~x;
  } else {
    if constexpr (kOp == Alu::Sbc) y = ~y;
    const std::uint64_t wide = std::uint64_t{x} + y + c.flagC;
    r = static_cast<std::uint32_t>(wide);
    carry = static_cast<std::uint8_t>(wide >> 32);
  }
  if constexpr (kWrite) c.put(op.a, r);
  if (setsFlags<kFl>(c)) {
    c.setNZ(r);
    c.flagC = carry;
    c.flagV = static_cast<std::uint8_t>(((x ^ r) & (y ^ r)) >> 31);
  }
}

template <Alu kOp, Fl kFl, bool kWrite>
inline void logical(Interpreter& c, const Op& op, std::uint32_t n, std::uint32_t operand, std::uint8_t carry) {
  std::uint32_t r;
  if constexpr (kOp == Alu::And) r = n & operand;
  if constexpr (kOp == Alu::Bic) r = n & ~operand;
  if constexpr (kOp == Alu::Orr) r = n | operand;
  if constexpr (kOp == Alu::Orn) r = n | ~operand;
  if constexpr (kOp == Alu::Eor) r = n ^ operand;
  if constexpr (kOp == Alu::Mov) r = operand;
  if constexpr (kOp == Alu::Mvn) r = ~operand;
  if constexpr (kWrite) c.put(op.a, r);
  if (setsFlags<kFl>(c)) {
    c.setNZ(r);
    c.flagC = carry;
  }
}

// Rd = Rn <op> shifted Rm.
template <Alu kOp, Sh kSh, Fl kFl, bool kWrite>
void registerForm(Interpreter& c, const Op& op) {
  std::uint8_t carry = c.flagC;
  const std::uint32_t operand = shifted<kSh>(c.regs[op.c], op.d, carry);
  const std::uint32_t n = readsRn(kOp) ? c.regs[op.b] : 0u;
  if constexpr (isLogical(kOp)) {
    logical<kOp, kFl, kWrite>(c, op, n, operand, carry);
  } else {
    arithmetic<kOp, kFl, kWrite>(c, op, n, operand);
  }
}

// Rd = Rn <op> imm; a logical op with a rotated immediate sets C from it.
template <Alu kOp, Fl kFl, bool kWrite, bool kImmCarry>
void immediateForm(Interpreter& c, const Op& op) {
  const std::uint32_t n = readsRn(kOp) ? c.regs[op.b] : 0u;
  if constexpr (isLogical(kOp)) {
    logical<kOp, kFl, kWrite>(c, op, n, op.imm, kImmCarry ? op.e : c.flagC);
  } else {
    arithmetic<kOp, kFl, kWrite>(c, op, n, op.imm);
  }
}

// LSL/LSR/ASR/ROR Rdn, Rm (16-bit): the amount is Rm's low byte.
template <ShiftType kType>
void shiftByRegister(Interpreter& c, const Op& op) {
  const ShiftResult r = shiftC(c.regs[op.a], kType, c.regs[op.c] & 0xFFu, c.flagC);
  c.put(op.a, r.value);
  if (!c.inIt) {
    c.setNZ(r.value);
    c.flagC = r.carry;
  }
}

// MUL Rdm, Rn, Rdm (16-bit): N and Z only.
void multiply(Interpreter& c, const Op& op) {
  const std::uint32_t r = c.regs[op.b] * c.regs[op.a];
  c.put(op.a, r);
  if (!c.inIt) c.setNZ(r);
}

// ADD PC, Rm and MOV PC, Rm: a branch, bit 0 ignored.
void addToPc(Interpreter& c, const Op& op) { c.branch(c.regs[op.b] + c.regs[op.c]); }
void moveToPc(Interpreter& c, const Op& op) { c.branch(c.regs[op.c]); }

// ---- handler selection ----

template <Alu kOp, Fl kFl, bool kWrite>
Handler registerByShift(Sh sh) {
  switch (sh) {
    case Sh::None:
      return &registerForm<kOp, Sh::None, kFl, kWrite>;
    case Sh::Lsl:
      return &registerForm<kOp, Sh::Lsl, kFl, kWrite>;
    case Sh::Lsr:
      return &registerForm<kOp, Sh::Lsr, kFl, kWrite>;
    case Sh::Asr:
      return &registerForm<kOp, Sh::Asr, kFl, kWrite>;
    case Sh::Ror:
      return &registerForm<kOp, Sh::Ror, kFl, kWrite>;
    case Sh::Rrx:
      return &registerForm<kOp, Sh::Rrx, kFl, kWrite>;
  }
  return nullptr;
}

constexpr bool hasCompare(Alu op) { return op == Alu::And || op == Alu::Eor || op == Alu::Add || op == Alu::Sub; }

template <Alu kOp>
Handler registerHandlerOf(Sh sh, Fl fl, bool write) {
  if (!write) {
    if constexpr (hasCompare(kOp)) {
      return registerByShift<kOp, Fl::Always, false>(sh);
    } else {
      return nullptr;
    }
  }
  switch (fl) {
    case Fl::Never:
      return registerByShift<kOp, Fl::Never, true>(sh);
    case Fl::Always:
      return registerByShift<kOp, Fl::Always, true>(sh);
    case Fl::OutsideIt:
      // Only the 16-bit shifts by an immediate (MOV with a shift) shift here.
      if constexpr (kOp == Alu::Mov) {
        return registerByShift<kOp, Fl::OutsideIt, true>(sh);
      } else {
        return sh == Sh::None ? &registerForm<kOp, Sh::None, Fl::OutsideIt, true> : nullptr;
      }
  }
  return nullptr;
}

template <Alu kOp>
Handler immediateHandlerOf(Fl fl, bool write, bool immCarry) {
  if (!write) {
    if constexpr (hasCompare(kOp)) {
      if (immCarry) return &immediateForm<kOp, Fl::Always, false, true>;
      return &immediateForm<kOp, Fl::Always, false, false>;
    } else {
      return nullptr;
    }
  }
  switch (fl) {
    case Fl::Never:
      return &immediateForm<kOp, Fl::Never, true, false>;
    case Fl::Always:
      if (immCarry) return &immediateForm<kOp, Fl::Always, true, true>;
      return &immediateForm<kOp, Fl::Always, true, false>;
    case Fl::OutsideIt:
      return &immediateForm<kOp, Fl::OutsideIt, true, false>;
  }
  return nullptr;
}

#define TL500_EACH_ALU(F, ...)         \
  switch (alu) {                       \
    case Alu::And:                     \
      return F<Alu::And>(__VA_ARGS__); \
    case Alu::Bic:                     \
      return F<Alu::Bic>(__VA_ARGS__); \
    case Alu::Orr:                     \
      return F<Alu::Orr>(__VA_ARGS__); \
    case Alu::Orn:                     \
      return F<Alu::Orn>(__VA_ARGS__); \
    case Alu::Eor:                     \
      return F<Alu::Eor>(__VA_ARGS__); \
    case Alu::Mov:                     \
      return F<Alu::Mov>(__VA_ARGS__); \
    case Alu::Mvn:                     \
      return F<Alu::Mvn>(__VA_ARGS__); \
    case Alu::Add:                     \
      return F<Alu::Add>(__VA_ARGS__); \
    case Alu::Adc:                     \
      return F<Alu::Adc>(__VA_ARGS__); \
    case Alu::Sub:                     \
      return F<Alu::Sub>(__VA_ARGS__); \
    case Alu::Sbc:                     \
      return F<Alu::Sbc>(__VA_ARGS__); \
    case Alu::Rsb:                     \
      return F<Alu::Rsb>(__VA_ARGS__); \
  }                                    \
  return nullptr

Handler registerHandler(Alu alu, Sh sh, Fl fl, bool write) { TL500_EACH_ALU(registerHandlerOf, sh, fl, write); }
Handler immediateHandler(Alu alu, Fl fl, bool write, bool immCarry) {
  TL500_EACH_ALU(immediateHandlerOf, fl, write, immCarry);
}

#undef TL500_EACH_ALU

Sh shiftOf(ImmShift s) {
  switch (s.type) {
    case kLsl:
      return s.amount == 0 ? Sh::None : Sh::Lsl;
    case kLsr:
      return Sh::Lsr;
    case kAsr:
      return Sh::Asr;
    case kRor:
      return Sh::Ror;
    default:
      return Sh::Rrx;
  }
}

// Rd = Rn <alu> (Rm shifted); `write` false for the compares and tests.
bool registerOp(Op& op, Alu alu, Fl fl, bool write, unsigned d, unsigned n, unsigned m, ImmShift s = {kLsl, 0}) {
  op.run = registerHandler(alu, shiftOf(s), fl, write);
  op.a = static_cast<std::uint8_t>(d);
  op.b = static_cast<std::uint8_t>(n);
  op.c = static_cast<std::uint8_t>(m);
  op.d = s.amount;
  if (fl == Fl::OutsideIt) op.flags |= kOpFlagsOutsideIt;
  return op.run != nullptr;
}

bool immediateOp(Op& op, Alu alu, Fl fl, bool write, unsigned d, unsigned n, std::uint32_t imm,
                 const ExpandedImm* expanded = nullptr) {
  const bool immCarry = expanded != nullptr && !expanded->carryKept && isLogical(alu) && fl == Fl::Always;
  op.run = immediateHandler(alu, fl, write, immCarry);
  op.a = static_cast<std::uint8_t>(d);
  op.b = static_cast<std::uint8_t>(n);
  op.e = immCarry ? expanded->carry : 0;
  op.imm = imm;
  if (fl == Fl::OutsideIt) op.flags |= kOpFlagsOutsideIt;
  return op.run != nullptr;
}

// SP or PC, where most 32-bit forms cannot take them.
bool handlerOp(Op& op, Handler run, unsigned a, unsigned b, unsigned c, bool outsideIt) {
  op.run = run;
  op.a = static_cast<std::uint8_t>(a);
  op.b = static_cast<std::uint8_t>(b);
  op.c = static_cast<std::uint8_t>(c);
  if (outsideIt) op.flags |= kOpFlagsOutsideIt;
  return true;
}

// 00xxxx: shifts by an immediate, add and subtract (register, 3-bit
// immediate), and MOV/CMP/ADD/SUB with an 8-bit immediate.
bool decodeShiftAddSubtract(std::uint16_t insn, Op& op) {
  const unsigned opcode = (insn >> 9) & 0x1Fu;
  const unsigned low0 = insn & 7u, low3 = (insn >> 3) & 7u, low6 = (insn >> 6) & 7u;
  const unsigned rdn = (insn >> 8) & 7u;
  const std::uint32_t imm8 = insn & 0xFFu;
  switch (opcode >> 2) {
    case 0:  // LSL (LSL #0 is MOVS Rd, Rm)
    case 1:  // LSR
    case 2:  // ASR
      return registerOp(op, Alu::Mov, Fl::OutsideIt, true, low0, 0, low3,
                        decodeImmShift(opcode >> 2, (insn >> 6) & 0x1Fu));
    case 3:
      switch (opcode & 3u) {
        case 0:
          return registerOp(op, Alu::Add, Fl::OutsideIt, true, low0, low3, low6);
        case 1:
          return registerOp(op, Alu::Sub, Fl::OutsideIt, true, low0, low3, low6);
        case 2:
          return immediateOp(op, Alu::Add, Fl::OutsideIt, true, low0, low3, low6);
        default:
          return immediateOp(op, Alu::Sub, Fl::OutsideIt, true, low0, low3, low6);
      }
    case 4:
      return immediateOp(op, Alu::Mov, Fl::OutsideIt, true, rdn, 0, imm8);
    case 5:
      return immediateOp(op, Alu::Sub, Fl::Always, false, 0, rdn, imm8);
    case 6:
      return immediateOp(op, Alu::Add, Fl::OutsideIt, true, rdn, rdn, imm8);
    default:
      return immediateOp(op, Alu::Sub, Fl::OutsideIt, true, rdn, rdn, imm8);
  }
}

// 010000: the data-processing operations on two low registers.
bool decodeRegisterPair(std::uint16_t insn, Op& op) {
  const unsigned dn = insn & 7u, m = (insn >> 3) & 7u;
  constexpr Fl kOut = Fl::OutsideIt;
  switch ((insn >> 6) & 0xFu) {
    case 0x0:
      return registerOp(op, Alu::And, kOut, true, dn, dn, m);
    case 0x1:
      return registerOp(op, Alu::Eor, kOut, true, dn, dn, m);
    case 0x2:
      return handlerOp(op, &shiftByRegister<kLsl>, dn, 0, m, true);
    case 0x3:
      return handlerOp(op, &shiftByRegister<kLsr>, dn, 0, m, true);
    case 0x4:
      return handlerOp(op, &shiftByRegister<kAsr>, dn, 0, m, true);
    case 0x5:
      return registerOp(op, Alu::Adc, kOut, true, dn, dn, m);
    case 0x6:
      return registerOp(op, Alu::Sbc, kOut, true, dn, dn, m);
    case 0x7:
      return handlerOp(op, &shiftByRegister<kRor>, dn, 0, m, true);
    case 0x8:  // TST
      return registerOp(op, Alu::And, Fl::Always, false, 0, dn, m);
    case 0x9:  // RSB Rd, Rn, #0
      return immediateOp(op, Alu::Rsb, kOut, true, dn, m, 0);
    case 0xA:  // CMP
      return registerOp(op, Alu::Sub, Fl::Always, false, 0, dn, m);
    case 0xB:  // CMN
      return registerOp(op, Alu::Add, Fl::Always, false, 0, dn, m);
    case 0xC:
      return registerOp(op, Alu::Orr, kOut, true, dn, dn, m);
    case 0xD:  // MUL Rdm, Rn, Rdm
      return handlerOp(op, &multiply, dn, m, 0, true);
    case 0xE:
      return registerOp(op, Alu::Bic, kOut, true, dn, dn, m);
    default:
      return registerOp(op, Alu::Mvn, kOut, true, dn, 0, m);
  }
}

// 010001 (not BX/BLX): ADD, CMP and MOV on any registers, no flags but CMP's.
bool decodeHighRegisters(std::uint16_t insn, Op& op) {
  const unsigned d = ((insn >> 4) & 8u) | (insn & 7u);
  const unsigned m = (insn >> 3) & 0xFu;
  switch ((insn >> 8) & 3u) {
    case 0:  // ADD Rdn, Rm (also with SP)
      if (d == 15 && m == 15) return false;
      if (d == 15) return handlerOp(op, &addToPc, 0, 15, m, false);
      return registerOp(op, Alu::Add, Fl::Never, true, d, d, m);
    case 1:  // CMP Rn, Rm
      if ((d < 8 && m < 8) || d == 15 || m == 15) return false;
      return registerOp(op, Alu::Sub, Fl::Always, false, 0, d, m);
    case 2:  // MOV Rd, Rm
      if (d == 15) return handlerOp(op, &moveToPc, 0, 0, m, false);
      return registerOp(op, Alu::Mov, Fl::Never, true, d, 0, m);
    default:
      return false;
  }
}

}  // namespace

bool decode16DataProcessing(std::uint16_t insn, Op& op) {
  const unsigned top6 = insn >> 10u;
  if (top6 < 0x10u) return decodeShiftAddSubtract(insn, op);
  if (top6 == 0x10u) return decodeRegisterPair(insn, op);
  if (top6 == 0x11u) return decodeHighRegisters(insn, op);
  if ((insn >> 12) == 0xAu) {
    // ADR Rd, label / ADD Rd, SP, #imm8 << 2
    const unsigned d = (insn >> 8) & 7u;
    const std::uint32_t imm = (insn & 0xFFu) << 2;
    if ((insn & 0x800u) != 0) return immediateOp(op, Alu::Add, Fl::Never, true, d, 13, imm);
    op.run = &addressFromPc;  // ADR Rd, label
    op.a = static_cast<std::uint8_t>(d);
    op.imm = imm;
    return true;
  }
  if ((insn >> 8) == 0xB0u) {
    // ADD/SUB SP, SP, #imm7 << 2
    const std::uint32_t imm = (insn & 0x7Fu) << 2;
    return immediateOp(op, (insn & 0x80u) != 0 ? Alu::Sub : Alu::Add, Fl::Never, true, 13, 13, imm);
  }
  return false;
}

bool decode32ModifiedImmediate(std::uint32_t insn, Op& op) {
  const unsigned opcode = (insn >> 21) & 0xFu;
  const bool s = (insn & 0x100000u) != 0;
  const unsigned n = (insn >> 16) & 0xFu, d = (insn >> 8) & 0xFu;
  const unsigned imm12 = ((insn >> 15) & 0x800u) | ((insn >> 4) & 0x700u) | (insn & 0xFFu);
  const ExpandedImm x = thumbExpandImm(imm12);
  if (!x.valid) return false;
  const Fl fl = s ? Fl::Always : Fl::Never;
  const bool compare = s && d == 15;  // TST, TEQ, CMN, CMP
  switch (opcode) {
    case 0x0:  // AND, TST
    case 0x4:  // EOR, TEQ
    {
      const Alu alu = opcode == 0 ? Alu::And : Alu::Eor;
      if (badReg(n)) return false;
      if (compare) return immediateOp(op, alu, Fl::Always, false, 0, n, x.value, &x);
      if (badReg(d)) return false;
      return immediateOp(op, alu, fl, true, d, n, x.value, &x);
    }
    case 0x1:  // BIC
      if (badReg(d) || badReg(n)) return false;
      return immediateOp(op, Alu::Bic, fl, true, d, n, x.value, &x);
    case 0x2:  // ORR, MOV
    case 0x3:  // ORN, MVN
      if (badReg(d) || n == 13) return false;
      if (n == 15) return immediateOp(op, opcode == 2 ? Alu::Mov : Alu::Mvn, fl, true, d, 0, x.value, &x);
      return immediateOp(op, opcode == 2 ? Alu::Orr : Alu::Orn, fl, true, d, n, x.value, &x);
    case 0x8:  // ADD, CMN
    case 0xD:  // SUB, CMP
    {
      const Alu alu = opcode == 8 ? Alu::Add : Alu::Sub;
      if (n == 15) return false;
      if (compare) return immediateOp(op, alu, Fl::Always, false, 0, n, x.value);
      if (d == 15 || (d == 13 && n != 13)) return false;
      return immediateOp(op, alu, fl, true, d, n, x.value);
    }
    case 0xA:  // ADC
    case 0xB:  // SBC
    case 0xE:  // RSB
      if (badReg(d) || badReg(n)) return false;
      return immediateOp(op, opcode == 0xA ? Alu::Adc : opcode == 0xB ? Alu::Sbc : Alu::Rsb, fl, true, d, n, x.value);
    default:
      return false;
  }
}

bool decode32ShiftedRegister(std::uint32_t insn, Op& op) {
  if ((insn & 0x8000u) != 0) return false;
  const unsigned opcode = (insn >> 21) & 0xFu;
  const bool s = (insn & 0x100000u) != 0;
  const unsigned n = (insn >> 16) & 0xFu, d = (insn >> 8) & 0xFu, m = insn & 0xFu;
  const ImmShift shift = decodeImmShift((insn >> 4) & 3u, ((insn >> 10) & 0x1Cu) | ((insn >> 6) & 3u));
  const Fl fl = s ? Fl::Always : Fl::Never;
  const bool compare = s && d == 15;  // TST, TEQ, CMN, CMP
  switch (opcode) {
    case 0x0:  // AND, TST
    case 0x4:  // EOR, TEQ
    {
      const Alu alu = opcode == 0 ? Alu::And : Alu::Eor;
      if (badReg(n) || badReg(m)) return false;
      if (compare) return registerOp(op, alu, Fl::Always, false, 0, n, m, shift);
      if (badReg(d)) return false;
      return registerOp(op, alu, fl, true, d, n, m, shift);
    }
    case 0x2:  // ORR, MOV and the shifts by an immediate
    case 0x3:  // ORN, MVN
    {
      const bool move = n == 15;
      const Alu alu = opcode == 2 ? (move ? Alu::Mov : Alu::Orr) : (move ? Alu::Mvn : Alu::Orn);
      if (alu == Alu::Mov && !s && shiftOf(shift) == Sh::None) {
        // MOV.W Rd, Rm may move to and from SP, not SP to SP.
        if (d == 15 || m == 15 || (d == 13 && m == 13)) return false;
      } else if (badReg(d) || badReg(m) || n == 13) {
        return false;
      }
      return registerOp(op, alu, fl, true, d, n, m, shift);
    }
    case 0x8:  // ADD, CMN
    case 0xD:  // SUB, CMP
    {
      const Alu alu = opcode == 8 ? Alu::Add : Alu::Sub;
      if (n == 15 || badReg(m)) return false;
      if (compare) return registerOp(op, alu, Fl::Always, false, 0, n, m, shift);
      if (d == 15) return false;
      if (d == 13) {
        // Only SP = SP +/- Rm, LSL #0-3.
        if (n != 13 || shift.type != kLsl || shift.amount > 3) return false;
      }
      return registerOp(op, alu, fl, true, d, n, m, shift);
    }
    case 0x1:  // BIC
    case 0xA:  // ADC
    case 0xB:  // SBC
    case 0xE:  // RSB
    {
      if (badReg(d) || badReg(n) || badReg(m)) return false;
      const Alu alu = opcode == 1 ? Alu::Bic : opcode == 0xA ? Alu::Adc : opcode == 0xB ? Alu::Sbc : Alu::Rsb;
      return registerOp(op, alu, fl, true, d, n, m, shift);
    }
    default:  // 0110 (PKH) is not in this core, the rest is undefined
      return false;
  }
}

namespace {

// Every handler of the two families with its shape.
HandlerTable<AluShape> everyAluHandler() {
  HandlerTable<AluShape> known;
  for (unsigned o = 0; o <= static_cast<unsigned>(Alu::Rsb); ++o) {
    const auto alu = static_cast<Alu>(o);
    for (unsigned f = 0; f <= static_cast<unsigned>(Fl::OutsideIt); ++f) {
      const auto fl = static_cast<Fl>(f);
      for (const bool write : {false, true}) {
        for (unsigned h = 0; h <= static_cast<unsigned>(Sh::Rrx); ++h) {
          const auto sh = static_cast<Sh>(h);
          if (Handler run = registerHandler(alu, sh, fl, write)) {
            known.add(run, {alu, false, sh, write ? fl : Fl::Always, write, false});
          }
        }
        for (const bool carry : {false, true}) {
          if (Handler run = immediateHandler(alu, fl, write, carry)) {
            known.add(run, {alu, true, Sh::None, write ? fl : Fl::Always, write, carry && (fl == Fl::Always || !write)});
          }
        }
      }
    }
  }
  return known;
}

}  // namespace

bool aluShapeOf(Handler handler, AluShape& shape) {
  static const HandlerTable<AluShape> known = everyAluHandler();
  return known.find(handler, shape);
}

}  // namespace sim::thumb
