// Host code for rows of plain instructions (see row_translator.h).
//
// The row's code keeps the interpreter in rbx, the row's first address in
// r12, RAM in r14 and flash in r15 (all kept across calls), and works in
// eax, ecx and edx. Core registers and flags stay in the interpreter: each
// instruction reads and writes them there, so a handler called in between
// sees them as the interpreter would.
#include "row_translator.h"

#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "handler_shapes.h"
#include "interpreter.h"
#include "x86_64_assembler.h"

// TL500_NO_ROW_TRANSLATION builds the interpreter alone, as on other hosts.
#if defined(__x86_64__) && defined(__linux__) && !defined(TL500_NO_ROW_TRANSLATION)
#include <sys/mman.h>
#define TL500_ROW_TRANSLATION 1
#else
#define TL500_ROW_TRANSLATION 0
#endif

namespace sim::thumb {

#if TL500_ROW_TRANSLATION

namespace {

// Room for translated rows; full, every row is translated again as it runs.
constexpr std::size_t kSpace = std::size_t{8} << 20;

using namespace x86;

// Where the row's code finds the interpreter's state: offsets from the
// interpreter, its memory, and the handler call that keeps a handler's
// exception out of host code without unwind information.
struct Layout {
  std::int32_t regs, flagN, flagZ, flagC, flagV, next, attention, ramWrites, ramChanges, quietFrom, quietTo;
  Interpreter::Memory mem;
  std::uint64_t callHandler;
};

// One row being written.
class RowWriter {
 public:
  RowWriter(const Layout& layout, std::vector<std::uint8_t>& code) : l_(layout), a_(code) {}

  // Of the row written: instructions run natively, and those that call
  // their handler.
  std::uint64_t nativeCount = 0;
  std::uint64_t calledCount = 0;

  void write(const Op* first, unsigned n) {
    a_.push(rbx);
    a_.push(r12);
    a_.push(r14);
    a_.push(r15);
    a_.subRsp(8);  // calls need the stack 16-byte aligned
    a_.movReg64(rbx, rdi);
    a_.movReg(r12, rsi);
    a_.movImm64(r14, reinterpret_cast<std::uint64_t>(l_.mem.ram));
    a_.movImm64(r15, reinterpret_cast<std::uint64_t>(l_.mem.flash));
    std::uint32_t offset = 0;
    const Op* op = first;
    for (unsigned i = 1; i <= n; ++i) {
      Label& after = label();
      if (native(*op, i, offset, after)) {
        ++nativeCount;
      } else {
        ++calledCount;
        callHandler(*op, i, offset);
      }
      a_.bind(after);
      offset += op->size;
      op += op->size >> 1;
    }
    a_.lea(rax, {r12, static_cast<std::int32_t>(offset)});
    a_.movStore(field(l_.next), rax);
    a_.movImm(rax, 0);
    Label& done = label();
    a_.bind(done);
    a_.addRsp(8);
    a_.pop(r15);
    a_.pop(r14);
    a_.pop(r12);
    a_.pop(rbx);
    a_.ret();
    // Out of the row's way: the slow paths, then the stops.
    for (std::size_t k = 0; k < later_.size(); ++k) later_[k]();
    for (const Stop& s : stops_) {
      a_.bind(*s.at);
      a_.lea(rax, {r12, static_cast<std::int32_t>(s.next)});
      a_.movStore(field(l_.next), rax);
      a_.movImm(rax, s.index);
      a_.jmp(done);
    }
  }

 private:
  struct Stop {
    Label* at;
    unsigned index;
    std::uint32_t next;
  };

  static Mem field(std::int32_t offset) { return {rbx, offset}; }
  Mem reg(unsigned n) const { return field(l_.regs + static_cast<std::int32_t>(4 * n)); }
  Label& label() { return labels_.emplace_back(); }
  // Where the row stops after its i-th instruction.
  Label& stopAfter(unsigned i, std::uint32_t offset, const Op& op) {
    for (Stop& s : stops_) {
      if (s.index == i) return *s.at;
    }
    Label& at = label();
    stops_.push_back({&at, i, offset + op.size});
    return at;
  }

  // The instruction's handler, called as the interpreter calls it: r15 is
  // its address + 4. Whatever it raised ends the row after it.
  void callHandler(const Op& op, unsigned i, std::uint32_t offset) {
    a_.lea(rax, {r12, static_cast<std::int32_t>(offset + 4)});
    a_.movStore(reg(15), rax);
    a_.movReg64(rdi, rbx);
    a_.movImm64(rsi, reinterpret_cast<std::uint64_t>(&op));
    a_.movImm64(rax, l_.callHandler);
    a_.callReg(rax);
    a_.cmpMem8Imm(field(l_.attention), 0);
    a_.jcc(kNotEqual, stopAfter(i, offset, op));
  }

  // Writes a register: SP's two low bits are always zero.
  void put(unsigned d, Reg value) {
    if (d == 13) a_.aluImm(kAnd, value, ~3u);
    a_.movStore(reg(d), value);
  }

  bool native(const Op& op, unsigned i, std::uint32_t offset, Label& after) {
    AluShape alu{};
    AccessShape access{};
    if (op.run == &loadConstant && op.a != 15) {
      a_.movStoreImm(reg(op.a), op.a == 13 ? op.imm & ~3u : op.imm);
      return true;
    }
    if (aluShapeOf(op.run, alu)) return arithmetic(op, alu);
    if (accessShapeOf(op.run, access)) return memory(op, access, i, offset, after);
    return false;
  }

  bool arithmetic(const Op& op, const AluShape& s) {
    if (s.op == Alu::Adc || s.op == Alu::Sbc || s.shift == Sh::Rrx) return false;
    if (!s.immediate && (op.c == 15 || (s.shift != Sh::None && (op.d == 0 || op.d > 31)))) return false;
    if ((readsRn(s.op) && op.b == 15) || (s.write && op.a == 15)) return false;
    // A row runs outside IT blocks: the 16-bit forms set the flags there.
    const bool sets = s.flags != Fl::Never;
    const bool logical = isLogical(s.op);
    if (s.immediate) {
      a_.movImm(rcx, op.imm);
    } else {
      a_.movLoad(rcx, reg(op.c));
      if (s.shift != Sh::None) {
        static constexpr ShiftOp kShift[] = {kShl, kShl, kShr, kSar, kRor};
        a_.shiftImm(kShift[static_cast<unsigned>(s.shift)], rcx, op.d);
        if (logical && sets) a_.setcc(kBelow, field(l_.flagC));  // the shifter's carry out
      }
    }
    if (readsRn(s.op)) a_.movLoad(rax, reg(op.b));
    switch (s.op) {
      case Alu::Bic:
      case Alu::Orn:
        a_.notReg(rcx);  // they take the operand inverted
        [[fallthrough]];
      case Alu::And:
      case Alu::Orr:
      case Alu::Eor:
        a_.alu(s.op == Alu::Eor ? kXor : (s.op == Alu::Orr || s.op == Alu::Orn) ? kOr : kAnd, rax, rcx);
        break;
      case Alu::Mvn:
        a_.notReg(rcx);
        [[fallthrough]];
      case Alu::Mov:
        a_.movReg(rax, rcx);
        if (sets) a_.test(rax, rax);
        break;
      case Alu::Add:
      case Alu::Sub:
        a_.alu(s.op == Alu::Add ? kAdd : kSub, rax, rcx);
        break;
      case Alu::Rsb:
        a_.alu(kSub, rcx, rax);
        a_.movReg(rax, rcx);
        break;
      default:
        return false;
    }
    if (sets) {
      a_.setcc(kSign, field(l_.flagN));
      a_.setcc(kEqual, field(l_.flagZ));
      if (!logical) {
        // The architecture's carry of a subtraction is NOT borrow.
        a_.setcc(s.op == Alu::Add ? kBelow : kAboveEqual, field(l_.flagC));
        a_.setcc(kOverflow, field(l_.flagV));
      } else if (s.immCarry) {
        a_.movStoreImm8(field(l_.flagC), op.e);
      }
    }
    if (s.write) put(op.a, rax);
    return true;
  }

  // A single load or store: RAM (and flash for loads) here, anything else
  // through the handler.
  bool memory(const Op& op, const AccessShape& s, unsigned i, std::uint32_t offset, Label& after) {
    if (s.mode == kLiteral || op.a == 15 || op.b == 15 || (s.mode == kRegister && op.c == 15)) return false;
    const unsigned bytes = s.width == Width::Word                                     ? 4u
                           : (s.width == Width::Half || s.width == Width::SignedHalf) ? 2u
                                                                                      : 1u;
    // The address in eax.
    switch (s.mode) {
      case kRegister:
        a_.movLoad(rax, reg(op.c));
        if (op.d != 0) a_.shiftImm(kShl, rax, op.d);
        a_.aluLoad(kAdd, rax, reg(op.b));
        break;
      case kPostIndexed:
        a_.movLoad(rax, reg(op.b));
        break;
      default:
        a_.movLoad(rax, reg(op.b));
        if (op.imm != 0) a_.aluImm(kAdd, rax, op.imm);
        break;
    }
    Label& slow = label();
    a_.movReg(rcx, rax);
    a_.aluImm(kSub, rcx, l_.mem.ramBase);
    a_.aluImm(kCmp, rcx, l_.mem.ramSize - 4);
    if (s.load) {
      Label& notRam = label();
      Label& loaded = label();
      a_.jcc(kAbove, notRam);
      loadSized(s.width, {r14, 0, rcx});
      a_.bind(loaded);
      writeBack(op, s.mode);
      put(op.a, rdx);
      later_.push_back([this, &op, &notRam, &loaded, &slow, &after, i, offset, width = s.width] {
        a_.bind(notRam);
        a_.movReg(rcx, rax);
        a_.aluImm(kSub, rcx, l_.mem.flashBase);
        a_.aluImm(kCmp, rcx, l_.mem.flashSize - 4);
        a_.jcc(kAbove, slow);
        loadSized(width, {r15, 0, rcx});
        a_.jmp(loaded);
        a_.bind(slow);
        callHandler(op, i, offset);
        a_.jmp(after);
      });
      return true;
    }
    Label& changed = label();
    Label& back = label();
    a_.jcc(kAbove, slow);
    a_.movLoad(rdx, reg(op.a));
    a_.incMem64(field(l_.ramWrites));
    a_.cmpMem({r14, 0, rcx}, rdx, bytes);
    a_.jcc(kNotEqual, changed);
    a_.bind(back);
    writeBack(op, s.mode);
    later_.push_back([this, &op, &changed, &back, &slow, &after, i, offset, bytes] {
      // A store that changes RAM, outside the quiet range, counts.
      Label& counted = label();
      a_.bind(changed);
      const Mem at{r14, 0, rcx};
      if (bytes == 4) {
        a_.movStore(at, rdx);
      } else if (bytes == 2) {
        a_.movStore16(at, rdx);
      } else {
        a_.movStore8(at, rdx);
      }
      a_.aluLoad(kCmp, rax, field(l_.quietFrom));
      a_.jcc(kBelow, counted);
      a_.aluLoad(kCmp, rax, field(l_.quietTo));
      a_.jcc(kBelow, back);
      a_.bind(counted);
      a_.incMem64(field(l_.ramChanges));
      a_.jmp(back);
      a_.bind(slow);
      callHandler(op, i, offset);
      a_.jmp(after);
    });
    return true;
  }

  void loadSized(Width w, Mem at) {
    switch (w) {
      case Width::Byte:
        a_.movzx8(rdx, at);
        break;
      case Width::SignedByte:
        a_.movsx8(rdx, at);
        break;
      case Width::Half:
        a_.movzx16(rdx, at);
        break;
      case Width::SignedHalf:
        a_.movsx16(rdx, at);
        break;
      case Width::Word:
        a_.movLoad(rdx, at);
        break;
    }
  }

  // The base after an indexed access (the address is in eax).
  void writeBack(const Op& op, Mode mode) {
    if (mode != kPreIndexed && mode != kPostIndexed) return;
    a_.movReg(rcx, rax);
    if (mode == kPostIndexed && op.imm != 0) a_.aluImm(kAdd, rcx, op.imm);
    put(op.b, rcx);
  }

  const Layout& l_;
  Assembler a_;
  std::deque<Label> labels_;
  std::vector<Stop> stops_;
  std::vector<std::function<void()>> later_;
};

}  // namespace

bool RowTranslator::available() { return true; }

RowTranslator::RowTranslator(Interpreter& c) : c_(c) {
  void* space = mmap(nullptr, kSpace, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (space != MAP_FAILED) space_ = static_cast<std::uint8_t*>(space);
}

RowTranslator::~RowTranslator() {
  if (space_ != nullptr) munmap(space_, kSpace);
}

RowTranslator::Row RowTranslator::translate(const Op* first, unsigned n) {
  if (space_ == nullptr) return nullptr;
  std::vector<std::uint8_t> code;
  code.reserve(64 + 48 * std::size_t{n});
  auto at = [this](const auto& member) {
    return static_cast<std::int32_t>(reinterpret_cast<const char*>(&member) - reinterpret_cast<const char*>(&c_));
  };
  const Layout layout{at(c_.regs),
                      at(c_.flagN),
                      at(c_.flagZ),
                      at(c_.flagC),
                      at(c_.flagV),
                      at(c_.next),
                      at(c_.attention_),
                      at(c_.ramWrites),
                      at(c_.ramChanges),
                      at(c_.quietFrom),
                      at(c_.quietTo),
                      c_.mem_,
                      reinterpret_cast<std::uint64_t>(&Interpreter::runGuarded)};
  RowWriter writer(layout, code);
  writer.write(first, n);
  if (code.size() > kSpace - used_) return nullptr;
  nativeInstructions += writer.nativeCount;
  calledInstructions += writer.calledCount;
  std::uint8_t* row = space_ + used_;
  std::memcpy(row, code.data(), code.size());
  used_ += (code.size() + 15) & ~std::size_t{15};
  ++rows;
  return reinterpret_cast<Row>(row);
}

#else

bool RowTranslator::available() { return false; }
RowTranslator::RowTranslator(Interpreter& c) : c_(c) {}
RowTranslator::~RowTranslator() = default;
RowTranslator::Row RowTranslator::translate(const Op*, unsigned) { return nullptr; }

#endif

}  // namespace sim::thumb
