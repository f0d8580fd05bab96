// The few x86-64 instructions the row translator writes, encoded into a
// byte buffer. Memory operands are a base register plus an optional index
// register plus a 32-bit displacement (always written as 32 bits: simpler,
// and the code is small anyway). 32-bit operations unless the name says
// otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sim::thumb::x86 {

enum Reg : std::uint8_t { rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8, r9, r10, r11, r12, r13, r14, r15, kNoReg = 0xFF };

// Condition codes, as the low nibble of Jcc and SETcc.
enum Cond : std::uint8_t {
  kOverflow = 0x0,
  kBelow = 0x2,       // carry set
  kAboveEqual = 0x3,  // carry clear
  kEqual = 0x4,
  kNotEqual = 0x5,
  kAbove = 0x7,
  kSign = 0x8,
};

// The ALU group's /digit (with an immediate) and its opcode base (reg, r/m).
enum AluOp : std::uint8_t { kAdd = 0, kOr = 1, kAdc = 2, kSbb = 3, kAnd = 4, kSub = 5, kXor = 6, kCmp = 7 };
enum ShiftOp : std::uint8_t { kRol = 0, kRor = 1, kRcl = 2, kRcr = 3, kShl = 4, kShr = 5, kSar = 7 };

struct Mem {
  Reg base;
  std::int32_t disp = 0;
  Reg index = kNoReg;  // scale 1
};

// A place in the code a jump may go to, bound once.
struct Label {
  std::size_t at = SIZE_MAX;
  std::vector<std::size_t> uses;  // rel32 fields that wait for it
};

class Assembler {
 public:
  explicit Assembler(std::vector<std::uint8_t>& out) : out_(out) {}

  std::size_t size() const { return out_.size(); }

  // ---- moves ----
  void movLoad(Reg r, Mem m) { op(0x8B, r, m); }   // mov r32, [m]
  void movStore(Mem m, Reg r) { op(0x89, r, m); }  // mov [m], r32
  void movStore16(Mem m, Reg r) {                  // mov [m], r16
    byte(0x66);
    op(0x89, r, m);
  }
  void movStore8(Mem m, Reg r) { op(0x88, r, m); }  // mov [m], r8 (al, cl, dl, bl)
  void movStoreImm(Mem m, std::uint32_t imm) {      // mov dword [m], imm32
    op(0xC7, 0, m);
    u32(imm);
  }
  void movStoreImm8(Mem m, std::uint8_t imm) {  // mov byte [m], imm8
    op(0xC6, 0, m);
    byte(imm);
  }
  void movzx8(Reg r, Mem m) { op2(0xB6, r, m); }
  void movzx16(Reg r, Mem m) { op2(0xB7, r, m); }
  void movsx8(Reg r, Mem m) { op2(0xBE, r, m); }
  void movsx16(Reg r, Mem m) { op2(0xBF, r, m); }
  void movImm(Reg r, std::uint32_t imm) {  // mov r32, imm32
    rex(false, 0, 0, r);
    byte(static_cast<std::uint8_t>(0xB8 + (r & 7)));
    u32(imm);
  }
  void movImm64(Reg r, std::uint64_t imm) {  // mov r64, imm64
    rex(true, 0, 0, r);
    byte(static_cast<std::uint8_t>(0xB8 + (r & 7)));
    for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(imm >> (8 * i)));
  }
  void movReg(Reg dst, Reg src) { regReg(0x89, src, dst, false); }   // mov r32, r32
  void movReg64(Reg dst, Reg src) { regReg(0x89, src, dst, true); }  // mov r64, r64
  void lea(Reg r, Mem m) { op(0x8D, r, m); }                         // lea r32, [m]

  // ---- arithmetic and logic ----
  void alu(AluOp o, Reg dst, Reg src) { regReg(static_cast<std::uint8_t>(o * 8 + 1), src, dst, false); }
  void aluLoad(AluOp o, Reg dst, Mem m) { op(static_cast<std::uint8_t>(o * 8 + 3), dst, m); }
  void aluImm(AluOp o, Reg dst, std::uint32_t imm) {
    rex(false, 0, 0, dst);
    byte(0x81);
    byte(static_cast<std::uint8_t>(0xC0 | o << 3 | (dst & 7)));
    u32(imm);
  }
  void aluMemImm(AluOp o, Mem m, std::uint32_t imm) {  // op dword [m], imm32
    op(0x81, o, m);
    u32(imm);
  }
  void cmpMem(Mem m, Reg r, unsigned bytes) {  // cmp [m], r (8, 16 or 32 bits)
    if (bytes == 2) byte(0x66);
    op(bytes == 1 ? 0x38 : 0x39, r, m);
  }
  void cmpMem8Imm(Mem m, std::uint8_t imm) {  // cmp byte [m], imm8
    op(0x80, 7, m);
    byte(imm);
  }
  void test(Reg a, Reg b) { regReg(0x85, b, a, false); }
  void notReg(Reg r) {
    rex(false, 0, 0, r);
    byte(0xF7);
    byte(static_cast<std::uint8_t>(0xD0 | (r & 7)));
  }
  void shiftImm(ShiftOp o, Reg r, std::uint8_t amount) {
    rex(false, 0, 0, r);
    byte(0xC1);
    byte(static_cast<std::uint8_t>(0xC0 | o << 3 | (r & 7)));
    byte(amount);
  }
  void cmc() { byte(0xF5); }
  void setcc(Cond c, Mem m) { op2(static_cast<std::uint8_t>(0x90 + c), 0, m); }
  void incMem64(Mem m) { op(0xFF, 0, m, true); }

  // ---- control ----
  void push(Reg r) {
    rex(false, 0, 0, r);
    byte(static_cast<std::uint8_t>(0x50 + (r & 7)));
  }
  void pop(Reg r) {
    rex(false, 0, 0, r);
    byte(static_cast<std::uint8_t>(0x58 + (r & 7)));
  }
  void ret() { byte(0xC3); }
  void callReg(Reg r) {
    rex(false, 0, 0, r);
    byte(0xFF);
    byte(static_cast<std::uint8_t>(0xD0 | (r & 7)));
  }
  void subRsp(std::uint8_t n) {
    byte(0x48);
    byte(0x83);
    byte(0xEC);
    byte(n);
  }
  void addRsp(std::uint8_t n) {
    byte(0x48);
    byte(0x83);
    byte(0xC4);
    byte(n);
  }
  void jcc(Cond c, Label& to) {
    byte(0x0F);
    byte(static_cast<std::uint8_t>(0x80 + c));
    rel32(to);
  }
  void jmp(Label& to) {
    byte(0xE9);
    rel32(to);
  }
  void bind(Label& l) {
    l.at = out_.size();
    for (std::size_t use : l.uses) patch(use, l.at);
    l.uses.clear();
  }

 private:
  void byte(std::uint8_t b) { out_.push_back(b); }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void rex(bool wide, unsigned reg, unsigned index, unsigned base, bool always = false) {
    const auto r = static_cast<std::uint8_t>(0x40 | (wide ? 8 : 0) | ((reg & 8) ? 4 : 0) |
                                             ((index != kNoReg && (index & 8)) ? 2 : 0) | ((base & 8) ? 1 : 0));
    if (r != 0x40 || always) byte(r);
  }
  // ModRM (+ SIB) + disp32 for [base + index + disp].
  void modrm(unsigned reg, Mem m) {
    if (m.index == kNoReg && (m.base & 7) != 4) {
      byte(static_cast<std::uint8_t>(0x80 | (reg & 7) << 3 | (m.base & 7)));
    } else {
      byte(static_cast<std::uint8_t>(0x80 | (reg & 7) << 3 | 4));
      const unsigned index = m.index == kNoReg ? 4u : (m.index & 7u);
      byte(static_cast<std::uint8_t>(index << 3 | (m.base & 7)));
    }
    u32(static_cast<std::uint32_t>(m.disp));
  }
  void op(std::uint8_t code, unsigned reg, Mem m, bool wide = false) {
    rex(wide, reg, m.index, m.base);
    byte(code);
    modrm(reg, m);
  }
  void op2(std::uint8_t code, unsigned reg, Mem m) {
    rex(false, reg, m.index, m.base);
    byte(0x0F);
    byte(code);
    modrm(reg, m);
  }
  void regReg(std::uint8_t code, unsigned reg, unsigned rm, bool wide) {
    rex(wide, reg, kNoReg, rm);
    byte(code);
    byte(static_cast<std::uint8_t>(0xC0 | (reg & 7) << 3 | (rm & 7)));
  }
  void rel32(Label& to) {
    const std::size_t field = out_.size();
    u32(0);
    if (to.at != SIZE_MAX) {
      patch(field, to.at);
    } else {
      to.uses.push_back(field);
    }
  }
  void patch(std::size_t field, std::size_t target) {
    const auto rel =
        static_cast<std::int32_t>(static_cast<std::int64_t>(target) - static_cast<std::int64_t>(field + 4));
    std::memcpy(out_.data() + field, &rel, 4);
  }

  std::vector<std::uint8_t>& out_;
};

}  // namespace sim::thumb::x86
