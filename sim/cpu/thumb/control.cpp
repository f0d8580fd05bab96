// Branches and control: B, B<cond>, CBZ/CBNZ, BX, BLX, BL, IT, the hints,
// CPS, SVC, BKPT, UDF, MSR, MRS and the barriers.
//
// Branch offsets are decoded once into Op::imm (sign-extended, added to r15
// as the instruction's address + 4 when it runs). Conditional branches get
// one handler per condition, so running one is a flag test and an add.
#include <cstdint>

#include "interpreter.h"

namespace sim::thumb {

namespace {

// The chip implements the upper four bits of each priority; BASEPRI's lower
// four read as zero and ignore writes.
constexpr std::uint8_t kImplementedPriorityBits = 0xF0u;

// Exception numbers at which the execution priority is already -1 or
// below (NMI, HardFault): FAULTMASK cannot be raised there.
constexpr std::uint32_t kNmi = 2;
constexpr std::uint32_t kHardFault = 3;

std::uint32_t signExtend(std::uint32_t value, unsigned bits) {
  const std::uint32_t sign = 1u << (bits - 1);
  return (value ^ sign) - sign;
}

// Handler mode, or Thread mode with CONTROL.nPRIV clear.
bool privileged(const Interpreter& c) { return c.ipsr != 0 || (c.control & 1u) == 0; }

// ---- branches ----

template <unsigned Cond>
bool passes(const Interpreter& c) {
  if constexpr (Cond == 0) return c.flagZ != 0;
  if constexpr (Cond == 1) return c.flagZ == 0;
  if constexpr (Cond == 2) return c.flagC != 0;
  if constexpr (Cond == 3) return c.flagC == 0;
  if constexpr (Cond == 4) return c.flagN != 0;
  if constexpr (Cond == 5) return c.flagN == 0;
  if constexpr (Cond == 6) return c.flagV != 0;
  if constexpr (Cond == 7) return c.flagV == 0;
  if constexpr (Cond == 8) return c.flagC != 0 && c.flagZ == 0;
  if constexpr (Cond == 9) return c.flagC == 0 || c.flagZ != 0;
  if constexpr (Cond == 10) return c.flagN == c.flagV;
  if constexpr (Cond == 11) return c.flagN != c.flagV;
  if constexpr (Cond == 12) return c.flagZ == 0 && c.flagN == c.flagV;
  if constexpr (Cond == 13) return c.flagZ != 0 || c.flagN != c.flagV;
  return true;
}

template <unsigned Cond>
void branchIf(Interpreter& c, const Op& op) {
  if (passes<Cond>(c)) c.branch(c.regs[15] + op.imm);
}

constexpr Handler kConditionalBranch[14] = {
    &branchIf<0>, &branchIf<1>, &branchIf<2>,  &branchIf<3>,  &branchIf<4>,  &branchIf<5>,  &branchIf<6>,
    &branchIf<7>, &branchIf<8>, &branchIf<9>, &branchIf<10>, &branchIf<11>, &branchIf<12>, &branchIf<13>,
};

void branchAlways(Interpreter& c, const Op& op) { c.branch(c.regs[15] + op.imm); }

void branchWithLink(Interpreter& c, const Op& op) {
  c.put(14, c.next | 1u);
  c.branch(c.regs[15] + op.imm);
}

// a: the register tested.
void compareZeroBranch(Interpreter& c, const Op& op) {
  if (c.regs[op.a] == 0) c.branch(c.regs[15] + op.imm);
}

void compareNonZeroBranch(Interpreter& c, const Op& op) {
  if (c.regs[op.a] != 0) c.branch(c.regs[15] + op.imm);
}

// a: the register holding the target.
void branchExchange(Interpreter& c, const Op& op) { c.branchExchange(c.regs[op.a]); }

void branchLinkExchange(Interpreter& c, const Op& op) {
  const std::uint32_t target = c.regs[op.a];  // read before LR is written: BLX LR
  c.put(14, c.next | 1u);
  if ((target & 1u) == 0) {
    c.fault("usage fault: branch to an address without the Thumb bit (invalid state)", true, target);
    return;
  }
  // No exception return here: only BX and loads to the PC return from one.
  c.branch(target);
}

// ---- IT, hints, CPS, SVC, BKPT ----

// a: the IT state (firstcond:mask).
void ifThen(Interpreter& c, const Op& op) { c.setItState(op.a); }

void nothing(Interpreter&, const Op&) {}

void supervisorCall(Interpreter& c, const Op&) { c.supervisorCall(); }

void breakpoint(Interpreter& c, const Op&) { c.breakpoint(); }

// CPSIE/CPSID: a = 1 to set (disable), 0 to clear; b bit 1: PRIMASK, bit 0:
// FAULTMASK. Ignored unprivileged.
void changeProcessorState(Interpreter& c, const Op& op) {
  if (!privileged(c)) return;
  if ((op.b & 2u) != 0) c.primask = op.a != 0;
  if ((op.b & 1u) != 0) {
    if (op.a == 0) {
      c.faultmask = false;
    } else if (c.ipsr != kNmi && c.ipsr != kHardFault) {
      c.faultmask = true;
    }
  }
}

void clearExclusive(Interpreter& c, const Op&) { c.exclusiveOpen = false; }

// ---- MRS: a = the destination register ----

// The program status registers' views; flags bit 0: with the APSR, bit 1:
// with the IPSR. The EPSR (the IT and Thumb bits) reads as zero.
void readStatus(Interpreter& c, const Op& op) {
  std::uint32_t value = 0;
  if ((op.flags & 1u) != 0) value |= c.apsr();
  if ((op.flags & 2u) != 0) value |= c.ipsr & 0x1FFu;
  c.put(op.a, value);
}

// The stack pointers read as zero to unprivileged code.
void readMainStack(Interpreter& c, const Op& op) { c.put(op.a, privileged(c) ? c.regs[13] : 0u); }
void readProcessStack(Interpreter& c, const Op& op) { c.put(op.a, privileged(c) ? c.psp : 0u); }
void readPrimask(Interpreter& c, const Op& op) { c.put(op.a, c.primask ? 1u : 0u); }
void readBasepri(Interpreter& c, const Op& op) { c.put(op.a, c.basepri); }
void readFaultmask(Interpreter& c, const Op& op) { c.put(op.a, c.faultmask ? 1u : 0u); }
void readControl(Interpreter& c, const Op& op) { c.put(op.a, c.control & 3u); }

// ---- MSR: a = the source register ----

void writeFlags(Interpreter& c, const Op& op) { c.setApsr(c.regs[op.a]); }

void writeMainStack(Interpreter& c, const Op& op) {
  if (privileged(c)) c.put(13, c.regs[op.a]);
}

void writeProcessStack(Interpreter& c, const Op& op) {
  if (privileged(c)) c.psp = c.regs[op.a] & ~3u;
}

void writePrimask(Interpreter& c, const Op& op) {
  if (privileged(c)) c.primask = (c.regs[op.a] & 1u) != 0;
}

void writeBasepri(Interpreter& c, const Op& op) {
  if (privileged(c)) c.basepri = static_cast<std::uint8_t>(c.regs[op.a] & kImplementedPriorityBits);
}

// Only raises the masking priority: a nonzero value below the current one
// (a lower number is a higher priority), or any nonzero value when none is set.
void writeBasepriMax(Interpreter& c, const Op& op) {
  if (!privileged(c)) return;
  const auto value = static_cast<std::uint8_t>(c.regs[op.a] & kImplementedPriorityBits);
  if (value != 0 && (c.basepri == 0 || value < c.basepri)) c.basepri = value;
}

void writeFaultmask(Interpreter& c, const Op& op) {
  if (!privileged(c)) return;
  if ((c.regs[op.a] & 1u) == 0) {
    c.faultmask = false;
  } else if (c.ipsr != kNmi && c.ipsr != kHardFault) {
    c.faultmask = true;
  }
}

// nPRIV is kept; the stack selection only exists in Thread mode, and the
// board's code never moves to the process stack.
void writeControl(Interpreter& c, const Op& op) {
  if (!privileged(c)) return;
  const std::uint32_t value = c.regs[op.a];
  if (c.ipsr == 0 && (value & 2u) != 0) {
    c.fault("usage fault: the process stack is not modelled on this core");
    return;
  }
  c.control = (c.control & ~1u) | (value & 1u);
}

bool isSpecialRegister(unsigned sysm) {
  return sysm <= 3 || (sysm >= 5 && sysm <= 9) || (sysm >= 16 && sysm <= 20);
}

bool decodeMoveToSpecial(std::uint16_t hw1, std::uint16_t hw2, Op& op) {
  if ((hw1 & 0x0010u) != 0 || (hw2 & 0x2300u) != 0) return false;  // bits that must be zero
  const unsigned n = hw1 & 0xFu;
  const unsigned mask = (hw2 >> 10) & 3u;
  const unsigned sysm = hw2 & 0xFFu;
  // mask 10 writes N Z C V Q; the GE bits (mask bit 0) do not exist on this core.
  if (mask != 2u) return false;
  if (badReg(n) || !isSpecialRegister(sysm)) return false;
  op.a = static_cast<std::uint8_t>(n);
  switch (sysm) {
    case 0:
    case 1:
    case 2:
    case 3:
      op.run = &writeFlags;
      break;
    case 5:
    case 6:
    case 7:
      op.run = &nothing;  // the IPSR and EPSR ignore writes
      break;
    case 8:
      op.run = &writeMainStack;
      break;
    case 9:
      op.run = &writeProcessStack;
      break;
    case 16:
      op.run = &writePrimask;
      break;
    case 17:
      op.run = &writeBasepri;
      break;
    case 18:
      op.run = &writeBasepriMax;
      break;
    case 19:
      op.run = &writeFaultmask;
      break;
    default:
      op.run = &writeControl;
      break;
  }
  return true;
}

bool decodeMoveFromSpecial(std::uint16_t hw1, std::uint16_t hw2, Op& op) {
  if (hw1 != 0xF3EFu || (hw2 & 0x2000u) != 0) return false;  // bits that must be one or zero
  const unsigned d = (hw2 >> 8) & 0xFu;
  const unsigned sysm = hw2 & 0xFFu;
  if (badReg(d) || !isSpecialRegister(sysm)) return false;
  op.a = static_cast<std::uint8_t>(d);
  if (sysm <= 7) {
    op.run = &readStatus;
    op.flags = static_cast<std::uint8_t>(((sysm & 4u) == 0 ? 1u : 0u) | ((sysm & 1u) != 0 ? 2u : 0u));
    return true;
  }
  switch (sysm) {
    case 8:
      op.run = &readMainStack;
      break;
    case 9:
      op.run = &readProcessStack;
      break;
    case 16:
      op.run = &readPrimask;
      break;
    case 17:
    case 18:
      op.run = &readBasepri;
      break;
    case 19:
      op.run = &readFaultmask;
      break;
    default:
      op.run = &readControl;
      break;
  }
  return true;
}

// NOP.W, YIELD.W, WFE.W, WFI.W, SEV.W, DBG and the unallocated hints: none
// has an effect on this core. Other op1 values (CPS.W) do not exist here.
bool decodeHint32(std::uint16_t hw1, std::uint16_t hw2, Op& op) {
  if (hw1 != 0xF3AFu || (hw2 & 0x2800u) != 0) return false;
  if ((hw2 & 0x0700u) != 0) return false;
  op.run = &nothing;
  return true;
}

// CLREX, DSB, DMB, ISB. Memory is always in order here: the barriers do
// nothing.
bool decodeMiscControl(std::uint16_t hw1, std::uint16_t hw2, Op& op) {
  if (hw1 != 0xF3BFu || (hw2 & 0xFF00u) != 0x8F00u) return false;
  switch ((hw2 >> 4) & 0xFu) {
    case 2:
      op.run = &clearExclusive;
      return true;
    case 4:
    case 5:
    case 6:
      op.run = &nothing;
      return true;
    default:
      return false;
  }
}

// B (T4) and BL: S:I1:I2:imm10:imm11:'0' with I1 = NOT(J1 XOR S), I2 = NOT(J2 XOR S).
std::uint32_t longBranchOffset(std::uint16_t hw1, std::uint16_t hw2) {
  const std::uint32_t s = (hw1 >> 10) & 1u;
  const std::uint32_t j1 = (hw2 >> 13) & 1u;
  const std::uint32_t j2 = (hw2 >> 11) & 1u;
  const std::uint32_t i1 = (~(j1 ^ s)) & 1u;
  const std::uint32_t i2 = (~(j2 ^ s)) & 1u;
  const std::uint32_t offset =
      s << 24 | i1 << 23 | i2 << 22 | static_cast<std::uint32_t>(hw1 & 0x3FFu) << 12 | static_cast<std::uint32_t>(hw2 & 0x7FFu) << 1;
  return signExtend(offset, 25);
}

// B<cond> (T3): S:J2:J1:imm6:imm11:'0'.
std::uint32_t conditionalBranchOffset(std::uint16_t hw1, std::uint16_t hw2) {
  const std::uint32_t s = (hw1 >> 10) & 1u;
  const std::uint32_t j1 = (hw2 >> 13) & 1u;
  const std::uint32_t j2 = (hw2 >> 11) & 1u;
  const std::uint32_t offset =
      s << 20 | j2 << 19 | j1 << 18 | static_cast<std::uint32_t>(hw1 & 0x3Fu) << 12 | static_cast<std::uint32_t>(hw2 & 0x7FFu) << 1;
  return signExtend(offset, 21);
}

// CBZ/CBNZ, CPS, BKPT, IT and the hints (the 1011 space the other groups
// leave here).
bool decodeMiscellaneous16(std::uint16_t insn, Op& op) {
  if ((insn & 0xF500u) == 0xB100u) {
    op.a = static_cast<std::uint8_t>(insn & 7u);
    op.imm = ((insn >> 9) & 1u) << 6 | ((insn >> 3) & 0x1Fu) << 1;
    op.run = (insn & 0x0800u) != 0 ? &compareNonZeroBranch : &compareZeroBranch;
    return true;
  }
  if ((insn & 0xFFE0u) == 0xB660u) {
    // CPSIE/CPSID: bits 3-2 must be zero, and at least one of I and F given.
    if ((insn & 0xCu) != 0 || (insn & 3u) == 0) return false;
    op.a = static_cast<std::uint8_t>((insn >> 4) & 1u);
    op.b = static_cast<std::uint8_t>(insn & 3u);
    op.run = &changeProcessorState;
    return true;
  }
  if ((insn & 0xFF00u) == 0xBE00u) {
    op.run = &breakpoint;
    return true;
  }
  if ((insn & 0xFF00u) == 0xBF00u) {
    const unsigned firstcond = (insn >> 4) & 0xFu;
    const unsigned mask = insn & 0xFu;
    if (mask == 0) {
      op.run = &nothing;  // NOP, YIELD, WFE, WFI, SEV, unallocated hints
      return true;
    }
    if (firstcond == 0xFu) return false;
    if (firstcond == 0xEu && (mask & (mask - 1u)) != 0) return false;  // AL takes no else
    op.a = static_cast<std::uint8_t>(insn & 0xFFu);
    op.run = &ifThen;
    return true;
  }
  return false;  // SETEND and the unallocated encodings
}

}  // namespace

bool decode16Control(std::uint16_t insn, Op& op) {
  if ((insn & 0xFF00u) == 0x4700u) {
    // BX/BLX Rm: bits 2-0 must be zero; BLX PC is unpredictable.
    if ((insn & 7u) != 0) return false;
    const unsigned m = (insn >> 3) & 0xFu;
    const bool link = (insn & 0x80u) != 0;
    if (link && m == 15) return false;
    op.a = static_cast<std::uint8_t>(m);
    op.run = link ? &branchLinkExchange : &branchExchange;
    return true;
  }
  if ((insn & 0xF000u) == 0xB000u) return decodeMiscellaneous16(insn, op);
  if ((insn & 0xF000u) == 0xD000u) {
    const unsigned cond = (insn >> 8) & 0xFu;
    if (cond == 0xEu) return false;  // UDF
    if (cond == 0xFu) {
      op.run = &supervisorCall;
      return true;
    }
    op.imm = signExtend(static_cast<std::uint32_t>(insn & 0xFFu) << 1, 9);
    op.run = kConditionalBranch[cond];
    return true;
  }
  if ((insn & 0xF800u) == 0xE000u) {
    op.imm = signExtend(static_cast<std::uint32_t>(insn & 0x7FFu) << 1, 12);
    op.run = &branchAlways;
    return true;
  }
  return false;
}

bool decode32Control(std::uint32_t insn, Op& op) {
  const auto hw1 = static_cast<std::uint16_t>(insn >> 16);
  const auto hw2 = static_cast<std::uint16_t>(insn);
  const unsigned op1 = (hw2 >> 12) & 7u;
  const unsigned op2 = (hw1 >> 4) & 0x7Fu;
  if ((op1 & 5u) == 0u) {
    if ((op2 & 0x38u) != 0x38u) {
      op.imm = conditionalBranchOffset(hw1, hw2);
      op.run = kConditionalBranch[(hw1 >> 6) & 0xFu];
      return true;
    }
    if ((op2 & 0x7Eu) == 0x38u) return decodeMoveToSpecial(hw1, hw2, op);
    if (op2 == 0x3Au) return decodeHint32(hw1, hw2, op);
    if (op2 == 0x3Bu) return decodeMiscControl(hw1, hw2, op);
    if ((op2 & 0x7Eu) == 0x3Eu) return decodeMoveFromSpecial(hw1, hw2, op);
    return false;  // UDF.W and the unallocated encodings
  }
  if ((op1 & 5u) == 1u) {
    op.imm = longBranchOffset(hw1, hw2);
    op.run = &branchAlways;
    return true;
  }
  if ((op1 & 5u) == 5u) {
    op.imm = longBranchOffset(hw1, hw2);
    op.run = &branchWithLink;
    return true;
  }
  return false;  // BLX (immediate): there is no ARM state to change to
}

}  // namespace sim::thumb
