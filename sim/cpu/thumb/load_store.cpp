// Loads and stores: single loads and stores of bytes, halfwords and words
// in every addressing form, PUSH/POP and the other load and store multiples,
// LDRD/STRD, the exclusives, the table branches TBB/TBH and the preload
// hints.
//
// Fields of the decoded forms:
// - single and dual: a = Rt, b = Rn, c = Rm (register offset; Rt2 for the
//   dual forms; Rd, the status, for the exclusive stores), d = the register
//   offset's left shift, imm = the offset, a negative one as its two's
//   complement (the address is the base plus imm, wrapping);
// - multiples: b = Rn, d = the number of registers, imm = the register list.
#include "handler_shapes.h"

namespace sim::thumb {

namespace {

template <Width W>
constexpr unsigned kBytes = W == Width::Word                               ? 4u
                            : (W == Width::Half || W == Width::SignedHalf) ? 2u
                                                                           : 1u;

template <Width W>
std::uint32_t extend(std::uint32_t v) {
  if constexpr (W == Width::SignedByte) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(v)));
  } else if constexpr (W == Width::SignedHalf) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int16_t>(v)));
  } else {
    return v;
  }
}

// The part of a register a store writes.
template <unsigned Size>
std::uint32_t narrow(std::uint32_t v) {
  if constexpr (Size == 4) {
    return v;
  } else {
    return v & ((1u << (8 * Size)) - 1u);
  }
}

template <Mode M>
std::uint32_t addressOf(const Interpreter& c, const Op& op) {
  if constexpr (M == kOffset || M == kPreIndexed) {
    return c.regs[op.b] + op.imm;
  } else if constexpr (M == kLiteral) {
    return (c.regs[15] & ~3u) + op.imm;
  } else if constexpr (M == kRegister) {
    return c.regs[op.b] + (c.regs[op.c] << op.d);
  } else {
    return c.regs[op.b];
  }
}

template <Mode M>
void writeBack(Interpreter& c, const Op& op, std::uint32_t address) {
  if constexpr (M == kPreIndexed) {
    c.put(op.b, address);
  } else if constexpr (M == kPostIndexed) {
    c.put(op.b, address + op.imm);
  }
}

void unaligned(Interpreter& c, std::uint32_t address) { c.fault("usage fault: unaligned access", true, address); }

// ---- single loads and stores ----

template <Width W, Mode M>
void loadSingle(Interpreter& c, const Op& op) {
  const std::uint32_t address = addressOf<M>(c, op);
  const std::uint32_t v = c.load(address, kBytes<W>);
  if (c.faulted()) return;
  writeBack<M>(c, op, address);
  c.put(op.a, extend<W>(v));
}

template <Width W, Mode M>
void storeSingle(Interpreter& c, const Op& op) {
  const std::uint32_t address = addressOf<M>(c, op);
  c.store(address, kBytes<W>, narrow<kBytes<W>>(c.regs[op.a]));
  if (c.faulted()) return;
  writeBack<M>(c, op, address);
}

// LDR to the PC: a word from a word-aligned address, taken as an
// interworking branch.
template <Mode M>
void loadPc(Interpreter& c, const Op& op) {
  const std::uint32_t address = addressOf<M>(c, op);
  if ((address & 3u) != 0) {
    unaligned(c, address);
    return;
  }
  const std::uint32_t v = c.load(address, 4);
  if (c.faulted()) return;
  writeBack<M>(c, op, address);
  c.branchExchange(v);
}

// PLD, PLI and the unallocated hints: nothing to do on this core.
void hint(Interpreter&, const Op&) {}

}  // namespace

const Handler kWordLiteralLoad = &loadSingle<Width::Word, kLiteral>;

void loadConstant(Interpreter& c, const Op& op) { c.put(op.a, op.imm); }

namespace {

template <Mode M>
Handler loadHandler(Width w) {
  switch (w) {
    case Width::Byte:
      return &loadSingle<Width::Byte, M>;
    case Width::SignedByte:
      return &loadSingle<Width::SignedByte, M>;
    case Width::Half:
      return &loadSingle<Width::Half, M>;
    case Width::SignedHalf:
      return &loadSingle<Width::SignedHalf, M>;
    default:
      return &loadSingle<Width::Word, M>;
  }
}

template <Mode M>
Handler storeHandler(Width w) {
  switch (w) {
    case Width::Byte:
      return &storeSingle<Width::Byte, M>;
    case Width::Half:
      return &storeSingle<Width::Half, M>;
    default:
      return &storeSingle<Width::Word, M>;
  }
}

Handler singleHandler(bool load, Width w, Mode m, unsigned t) {
  if (load && t == 15) {
    switch (m) {
      case kOffset:
        return &loadPc<kOffset>;
      case kLiteral:
        return &loadPc<kLiteral>;
      case kRegister:
        return &loadPc<kRegister>;
      case kPreIndexed:
        return &loadPc<kPreIndexed>;
      default:
        return &loadPc<kPostIndexed>;
    }
  }
  switch (m) {
    case kOffset:
      return load ? loadHandler<kOffset>(w) : storeHandler<kOffset>(w);
    case kLiteral:
      return loadHandler<kLiteral>(w);
    case kRegister:
      return load ? loadHandler<kRegister>(w) : storeHandler<kRegister>(w);
    case kPreIndexed:
      return load ? loadHandler<kPreIndexed>(w) : storeHandler<kPreIndexed>(w);
    default:
      return load ? loadHandler<kPostIndexed>(w) : storeHandler<kPostIndexed>(w);
  }
}

bool single(Op& op, bool load, Width w, Mode m, unsigned t, unsigned n, std::uint32_t imm, unsigned rm = 0,
            unsigned shift = 0) {
  op.a = static_cast<std::uint8_t>(t);
  op.b = static_cast<std::uint8_t>(n);
  op.c = static_cast<std::uint8_t>(rm);
  op.d = static_cast<std::uint8_t>(shift);
  op.imm = imm;
  op.run = singleHandler(load, w, m, t);
  return true;
}

bool setHint(Op& op) {
  op.run = &hint;
  return true;
}

// ---- load and store multiple ----
// Registers go lowest first to the lowest address; the base must be word
// aligned. A load of the PC interworks once every register is loaded.

template <bool Down, bool Writeback>
void loadMultiple(Interpreter& c, const Op& op) {
  const std::uint32_t base = c.regs[op.b];
  const std::uint32_t span = 4u * op.d;
  std::uint32_t address = Down ? base - span : base;
  if ((address & 3u) != 0) {
    unaligned(c, address);
    return;
  }
  std::uint32_t pcValue = 0;
  for (std::uint32_t list = op.imm; list != 0; list &= list - 1) {
    const auto r = static_cast<unsigned>(__builtin_ctz(list));
    const std::uint32_t v = c.load(address, 4);
    if (c.faulted()) return;
    address += 4;
    if (r == 15) {
      pcValue = v;
    } else {
      c.put(r, v);
    }
  }
  if constexpr (Writeback) c.put(op.b, Down ? base - span : base + span);
  if ((op.imm & 0x8000u) != 0) c.branchExchange(pcValue);
}

template <bool Down, bool Writeback>
void storeMultiple(Interpreter& c, const Op& op) {
  const std::uint32_t base = c.regs[op.b];
  const std::uint32_t span = 4u * op.d;
  std::uint32_t address = Down ? base - span : base;
  if ((address & 3u) != 0) {
    unaligned(c, address);
    return;
  }
  for (std::uint32_t list = op.imm; list != 0; list &= list - 1) {
    c.store(address, 4, c.regs[__builtin_ctz(list)]);
    if (c.faulted()) return;
    address += 4;
  }
  if constexpr (Writeback) c.put(op.b, Down ? base - span : base + span);
}

bool multiple(Op& op, bool load, bool down, bool writeback, unsigned n, std::uint32_t list) {
  op.b = static_cast<std::uint8_t>(n);
  op.d = static_cast<std::uint8_t>(__builtin_popcount(list));
  op.imm = list;
  if (load) {
    op.run = down ? (writeback ? &loadMultiple<true, true> : &loadMultiple<true, false>)
                  : (writeback ? &loadMultiple<false, true> : &loadMultiple<false, false>);
  } else {
    op.run = down ? (writeback ? &storeMultiple<true, true> : &storeMultiple<true, false>)
                  : (writeback ? &storeMultiple<false, true> : &storeMultiple<false, false>);
  }
  return true;
}

// ---- dual, exclusive, table branch ----

template <Mode M>
void loadDual(Interpreter& c, const Op& op) {
  const std::uint32_t address = addressOf<M>(c, op);
  if ((address & 3u) != 0) {
    unaligned(c, address);
    return;
  }
  const std::uint32_t first = c.load(address, 4);
  if (c.faulted()) return;
  const std::uint32_t second = c.load(address + 4, 4);
  if (c.faulted()) return;
  writeBack<M>(c, op, address);
  c.put(op.a, first);
  c.put(op.c, second);
}

template <Mode M>
void storeDual(Interpreter& c, const Op& op) {
  const std::uint32_t address = addressOf<M>(c, op);
  if ((address & 3u) != 0) {
    unaligned(c, address);
    return;
  }
  c.store(address, 4, c.regs[op.a]);
  if (c.faulted()) return;
  c.store(address + 4, 4, c.regs[op.c]);
  if (c.faulted()) return;
  writeBack<M>(c, op, address);
}

template <unsigned Size>
void loadExclusive(Interpreter& c, const Op& op) {
  const std::uint32_t address = c.regs[op.b] + op.imm;
  if ((address & (Size - 1u)) != 0) {
    unaligned(c, address);
    return;
  }
  const std::uint32_t v = c.load(address, Size);
  if (c.faulted()) return;
  c.exclusiveOpen = true;
  c.exclusiveAddress = address;
  c.put(op.a, v);
}

// Stores only while the monitor LDREX opened is open for this address, and
// says in Rd whether it did (0) or not (1). Either way the monitor closes.
template <unsigned Size>
void storeExclusive(Interpreter& c, const Op& op) {
  const std::uint32_t address = c.regs[op.b] + op.imm;
  if ((address & (Size - 1u)) != 0) {
    unaligned(c, address);
    return;
  }
  const bool pass = c.exclusiveOpen && c.exclusiveAddress == address;
  c.exclusiveOpen = false;
  if (!pass) {
    c.put(op.c, 1);
    return;
  }
  c.store(address, Size, narrow<Size>(c.regs[op.a]));
  if (c.faulted()) return;
  c.put(op.c, 0);
}

// TBB/TBH: a forward branch by twice the byte or halfword entry of a table
// at Rn (the PC: the table right after the instruction) indexed by Rm.
template <bool Half>
void tableBranch(Interpreter& c, const Op& op) {
  const std::uint32_t base = c.regs[op.b];
  const std::uint32_t index = c.regs[op.c];
  const std::uint32_t entry = Half ? c.load(base + (index << 1), 2) : c.load(base + index, 1);
  if (c.faulted()) return;
  c.branch(c.regs[15] + 2 * entry);
}

// LDRD/STRD (immediate and literal), LDREX/STREX and their byte and
// halfword forms, TBB/TBH.
bool decodeDualExclusive(std::uint32_t insn, Op& op) {
  const unsigned op1 = (insn >> 23) & 3u;
  const unsigned op2 = (insn >> 20) & 3u;
  const unsigned op3 = (insn >> 4) & 15u;
  const unsigned n = (insn >> 16) & 15u;
  const unsigned t = (insn >> 12) & 15u;
  const unsigned t2 = (insn >> 8) & 15u;
  const unsigned low = insn & 15u;
  const std::uint32_t imm8 = insn & 0xFFu;
  op.a = static_cast<std::uint8_t>(t);
  op.b = static_cast<std::uint8_t>(n);

  if (op1 == 0 && op2 == 0) {  // STREX Rd, Rt, [Rn, #imm]
    if (badReg(t2) || badReg(t) || n == 15 || t2 == n || t2 == t) return false;
    op.c = static_cast<std::uint8_t>(t2);
    op.imm = imm8 << 2;
    op.run = &storeExclusive<4>;
    return true;
  }
  if (op1 == 0 && op2 == 1) {  // LDREX Rt, [Rn, #imm]
    if (t2 != 15 || badReg(t) || n == 15) return false;
    op.imm = imm8 << 2;
    op.run = &loadExclusive<4>;
    return true;
  }
  if (op1 == 1 && op2 == 0) {  // STREXB, STREXH
    if ((op3 != 4 && op3 != 5) || t2 != 15) return false;
    if (badReg(low) || badReg(t) || n == 15 || low == n || low == t) return false;
    op.c = static_cast<std::uint8_t>(low);
    op.imm = 0;
    op.run = op3 == 4 ? &storeExclusive<1> : &storeExclusive<2>;
    return true;
  }
  if (op1 == 1 && op2 == 1) {
    if (op3 == 0 || op3 == 1) {  // TBB, TBH
      if (t != 15 || t2 != 0 || n == 13 || badReg(low)) return false;
      op.c = static_cast<std::uint8_t>(low);
      op.run = op3 == 0 ? &tableBranch<false> : &tableBranch<true>;
      return true;
    }
    if (op3 == 4 || op3 == 5) {  // LDREXB, LDREXH
      if (t2 != 15 || low != 15 || badReg(t) || n == 15) return false;
      op.imm = 0;
      op.run = op3 == 4 ? &loadExclusive<1> : &loadExclusive<2>;
      return true;
    }
    return false;
  }

  // LDRD/STRD: P = bit 24, U = bit 23, W = bit 21, L = bit 20.
  const bool index = (insn >> 24) & 1u;
  const bool add = (insn >> 23) & 1u;
  const bool wback = (insn >> 21) & 1u;
  const bool load = (insn >> 20) & 1u;
  if (!index && !wback) return false;  // not reached: the exclusives above
  if (badReg(t) || badReg(t2)) return false;
  op.c = static_cast<std::uint8_t>(t2);
  op.imm = add ? imm8 << 2 : 0u - (imm8 << 2);
  if (load) {
    if (t == t2) return false;
    if (n == 15) {
      if (wback) return false;
      op.run = &loadDual<kLiteral>;
      return true;
    }
    if (wback && (n == t || n == t2)) return false;
    op.run = !wback ? &loadDual<kOffset> : index ? &loadDual<kPreIndexed> : &loadDual<kPostIndexed>;
    return true;
  }
  if (n == 15 || (wback && (n == t || n == t2))) return false;
  op.run = !wback ? &storeDual<kOffset> : index ? &storeDual<kPreIndexed> : &storeDual<kPostIndexed>;
  return true;
}

// LDM/LDMDB/STM/STMDB, with PUSH.W and POP.W as the SP forms.
bool decodeMultiple(std::uint32_t insn, Op& op) {
  const unsigned kind = (insn >> 23) & 3u;   // 1: increment after, 2: decrement before
  if (kind != 1 && kind != 2) return false;  // the A-profile return forms
  const bool wback = (insn >> 21) & 1u;
  const bool load = (insn >> 20) & 1u;
  const unsigned n = (insn >> 16) & 15u;
  const std::uint32_t list = insn & 0xFFFFu;
  if (n == 15 || (list & 0x2000u) != 0 || __builtin_popcount(list) < 2) return false;
  if (load ? (list & 0xC000u) == 0xC000u : (list & 0x8000u) != 0) return false;
  if (wback && ((list >> n) & 1u) != 0) return false;
  return multiple(op, load, kind == 2, wback, n, list);
}

// Single loads and stores with a 12-bit offset, an 8-bit offset with or
// without writeback, a register offset, from a literal, the unprivileged
// forms (plain accesses here), and the preload hints.
bool decodeSingle(std::uint32_t insn, Op& op) {
  const bool sign = (insn >> 24) & 1u;
  const bool up = (insn >> 23) & 1u;
  const unsigned size = (insn >> 21) & 3u;
  const bool load = (insn >> 20) & 1u;
  const unsigned n = (insn >> 16) & 15u;
  const unsigned t = (insn >> 12) & 15u;
  if (size == 3 || (sign && (!load || size == 2))) return false;
  const Width w = size == 2   ? Width::Word
                  : size == 1 ? (sign ? Width::SignedHalf : Width::Half)
                              : (sign ? Width::SignedByte : Width::Byte);
  const bool word = size == 2;

  if (n == 15) {  // literal
    if (!load) return false;
    const std::uint32_t imm12 = insn & 0xFFFu;
    if (t == 15 && !word) return setHint(op);  // PLD, PLI, unallocated hint
    return single(op, true, w, kLiteral, t, 15, up ? imm12 : 0u - imm12);
  }

  if (up) {  // [Rn, #imm12]
    if (t == 15) {
      if (!load) return false;
      if (!word) return setHint(op);
    }
    if (t == 13 && !word) return false;
    return single(op, load, w, kOffset, t, n, insn & 0xFFFu);
  }

  const unsigned form = (insn >> 6) & 0x3Fu;
  if (form == 0) {  // [Rn, Rm, LSL #imm2]
    const unsigned m = insn & 15u;
    if (badReg(m)) return false;
    if (t == 15) {
      if (!load) return false;
      if (!word) return setHint(op);
    }
    if (t == 13 && !word) return false;
    return single(op, load, w, kRegister, t, n, 0, m, (insn >> 4) & 3u);
  }
  if ((form & 0x20u) == 0) return false;

  // 8-bit offset: 1 P U W imm8.
  const bool index = (insn >> 10) & 1u;
  const bool add = (insn >> 9) & 1u;
  const bool wback = (insn >> 8) & 1u;
  const std::uint32_t imm8 = insn & 0xFFu;
  if (index && add && !wback) {  // unprivileged: LDRT, STRT, ...
    if (badReg(t)) return false;
    return single(op, load, w, kOffset, t, n, imm8);
  }
  if (!index && !wback) return false;
  if (index && !wback) {  // [Rn, #-imm8]
    if (t == 15) {
      if (!load) return false;
      if (!word) return setHint(op);
    }
    if (t == 13 && !word) return false;
    return single(op, load, w, kOffset, t, n, 0u - imm8);
  }
  if (n == t) return false;
  if (t == 15 && !(load && word)) return false;
  if (t == 13 && !word) return false;
  return single(op, load, w, index ? kPreIndexed : kPostIndexed, t, n, add ? imm8 : 0u - imm8);
}

}  // namespace

bool decode16Memory(std::uint16_t insn, Op& op) {
  const unsigned t = insn & 7u;
  const unsigned n = (insn >> 3) & 7u;
  const bool load = (insn >> 11) & 1u;
  switch (insn >> 12) {
    case 0x4:  // LDR Rt, [PC, #imm8 * 4]
      if ((insn >> 11) != 0x9u) return false;
      return single(op, true, Width::Word, kLiteral, (insn >> 8) & 7u, 15, (insn & 0xFFu) << 2);
    case 0x5: {  // [Rn, Rm]
      static constexpr struct {
        bool load;
        Width w;
      } kForms[8] = {{false, Width::Word}, {false, Width::Half}, {false, Width::Byte}, {true, Width::SignedByte},
                     {true, Width::Word},  {true, Width::Half},  {true, Width::Byte},  {true, Width::SignedHalf}};
      const auto& f = kForms[(insn >> 9) & 7u];
      return single(op, f.load, f.w, kRegister, t, n, 0, (insn >> 6) & 7u, 0);
    }
    case 0x6:  // STR/LDR Rt, [Rn, #imm5 * 4]
      return single(op, load, Width::Word, kOffset, t, n, ((insn >> 6) & 31u) << 2);
    case 0x7:  // STRB/LDRB Rt, [Rn, #imm5]
      return single(op, load, Width::Byte, kOffset, t, n, (insn >> 6) & 31u);
    case 0x8:  // STRH/LDRH Rt, [Rn, #imm5 * 2]
      return single(op, load, Width::Half, kOffset, t, n, ((insn >> 6) & 31u) << 1);
    case 0x9:  // STR/LDR Rt, [SP, #imm8 * 4]
      return single(op, load, Width::Word, kOffset, (insn >> 8) & 7u, 13, (insn & 0xFFu) << 2);
    case 0xB: {  // PUSH {list, LR}, POP {list, PC}
      if ((insn & 0x0600u) != 0x0400u) return false;
      const std::uint32_t extra = (insn >> 8) & 1u;
      const std::uint32_t list = (insn & 0xFFu) | (load ? extra << 15 : extra << 14);
      if (list == 0) return false;
      return multiple(op, load, !load, true, 13, list);
    }
    case 0xC: {  // STM Rn!, {list}; LDM Rn{!}, {list}
      const unsigned base = (insn >> 8) & 7u;
      const std::uint32_t list = insn & 0xFFu;
      if (list == 0) return false;
      const bool wback = !load || ((list >> base) & 1u) == 0;
      return multiple(op, load, false, wback, base, list);
    }
    default:
      return false;
  }
}

bool decode32Memory(std::uint32_t insn, Op& op) {
  if (((insn >> 27) & 3u) == 1u) {
    return ((insn >> 22) & 1u) != 0 ? decodeDualExclusive(insn, op) : decodeMultiple(insn, op);
  }
  return decodeSingle(insn, op);
}

namespace {

HandlerTable<AccessShape> everyAccessHandler() {
  HandlerTable<AccessShape> known;
  for (const Mode m : {kOffset, kLiteral, kRegister, kPreIndexed, kPostIndexed}) {
    for (const Width w : {Width::Byte, Width::SignedByte, Width::Half, Width::SignedHalf, Width::Word}) {
      known.add(singleHandler(true, w, m, 0), {true, w, m});
      if (m != kLiteral && (w == Width::Byte || w == Width::Half || w == Width::Word)) {
        known.add(singleHandler(false, w, m, 0), {false, w, m});
      }
    }
  }
  return known;
}

}  // namespace

bool accessShapeOf(Handler handler, AccessShape& shape) {
  static const HandlerTable<AccessShape> known = everyAccessHandler();
  return known.find(handler, shape);
}

}  // namespace sim::thumb
