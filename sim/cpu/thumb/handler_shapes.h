// The shapes of the two handler families that most code runs: arithmetic
// and logic with a register or an immediate operand (data_processing.cpp)
// and the single loads and stores (load_store.cpp). Each handler of a
// family is one instance of a template over its shape; the row translator
// asks which shape a decoded form's handler is to write host code for it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "interpreter.h"

namespace sim::thumb {

enum class Alu : std::uint8_t { And, Bic, Orr, Orn, Eor, Mov, Mvn, Add, Adc, Sub, Sbc, Rsb };
// Whether a data-processing form sets the flags: never, always, or only
// outside an IT block (the 16-bit forms).
enum class Fl : std::uint8_t { Never, Always, OutsideIt };
// The immediate shift applied to a register operand (amount in Op::d).
enum class Sh : std::uint8_t { None, Lsl, Lsr, Asr, Ror, Rrx };

constexpr bool isLogical(Alu op) { return op <= Alu::Mvn; }
constexpr bool readsRn(Alu op) { return op != Alu::Mov && op != Alu::Mvn; }

enum class Width : std::uint8_t { Byte, SignedByte, Half, SignedHalf, Word };

// Where a single or dual access goes, and what happens to the base.
enum Mode : std::uint8_t {
  kOffset,       // [Rn, #imm]
  kLiteral,      // [PC, #imm], from the word-aligned PC
  kRegister,     // [Rn, Rm, LSL #d]
  kPreIndexed,   // [Rn, #imm]!
  kPostIndexed,  // [Rn], #imm
};

// Rd = Rn <op> operand. Fields: a = Rd, b = Rn, c = Rm and d = the shift
// amount (register operand), imm = the immediate, e = the carry a rotated
// immediate gives (immCarry).
struct AluShape {
  Alu op;
  bool immediate;  // imm, else Rm shifted by `shift`
  Sh shift;
  Fl flags;
  bool write;     // false for TST, TEQ, CMP, CMN
  bool immCarry;  // a logical op setting C from its rotated immediate
};

// A single load or store. Fields: a = Rt, b = Rn, c = Rm, d = Rm's left
// shift, imm = the offset (a negative one as its two's complement).
struct AccessShape {
  bool load;
  Width width;
  Mode mode;
};

// Handlers with their shapes, looked up by handler. A selector may hand out
// one instance for several requests (a compare sets the flags whatever is
// asked): the shape added first is the handler's own.
template <typename Shape>
class HandlerTable {
 public:
  // Kept in order of handler as entries are added (after those of the same
  // handler already there): a table is made once, at its first use.
  void add(Handler handler, const Shape& shape) {
    const auto at = std::upper_bound(entries_.begin(), entries_.end(), handler,
                                     [](Handler h, const Entry& e) { return key(h) < key(e.handler); });
    entries_.insert(at, Entry{handler, shape});
  }
  bool find(Handler handler, Shape& shape) const {
    const auto at = std::lower_bound(entries_.begin(), entries_.end(), handler,
                                     [](const Entry& e, Handler h) { return key(e.handler) < key(h); });
    if (at == entries_.end() || at->handler != handler) return false;
    shape = at->shape;
    return true;
  }

 private:
  struct Entry {
    Handler handler;
    Shape shape;
  };
  static std::uintptr_t key(Handler h) { return reinterpret_cast<std::uintptr_t>(h); }
  std::vector<Entry> entries_;
};

// The shape of `handler`, or false when it is of neither family (a load to
// the PC is not a single load here: it branches).
bool aluShapeOf(Handler handler, AluShape& shape);
bool accessShapeOf(Handler handler, AccessShape& shape);

}  // namespace sim::thumb
