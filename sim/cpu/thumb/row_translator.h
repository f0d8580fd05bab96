// Rows of plain instructions (no branch, no IT, no mark between them)
// translated into host code, on x86-64 hosts. The interpreter hands a row
// over once it has run often; the row's code then does the work of the
// run loop and of each instruction's handler in one go.
//
// What the code does natively: moves, adds, subtracts, compares and the
// logical operations with a register (optionally shifted by an immediate)
// or an immediate operand; single loads and stores of bytes, halfwords and
// words whose address falls in RAM (loads: or in flash); loads of a literal
// word. Everything else, and every access outside RAM and flash, calls the
// instruction's handler as the interpreter would, with r15 set as the
// interpreter sets it: a peripheral access, a fault or a stop request ends
// the row after that instruction exactly as in the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::thumb {

class Interpreter;
struct Op;

class RowTranslator {
 public:
  // Runs a translated row on `c`, its first instruction at `pc`. Returns 0
  // when every instruction ran, with c.next the address after the row; or
  // i when the i-th instruction (from 1) raised the interpreter's attention,
  // with c.next the address after that one.
  using Row = unsigned (*)(Interpreter* c, std::uint32_t pc);

  // Whether this host can run translated rows.
  static bool available();

  explicit RowTranslator(Interpreter& c);
  ~RowTranslator();
  RowTranslator(const RowTranslator&) = delete;
  RowTranslator& operator=(const RowTranslator&) = delete;

  // Host code for the `n` instructions decoded from `first` on (their
  // decoded forms must stay where they are while the code lives), or null
  // once the code space is full: the caller then forgets every row and
  // calls reset().
  Row translate(const Op* first, unsigned n);
  // Whether code space was had (it is set aside once, at the start).
  bool hasSpace() const { return space_ != nullptr; }
  // Every row forgotten: their code space is written again.
  void reset() { used_ = 0; }

  // How many rows were translated, and how many instructions of them run
  // natively (the rest call their handler).
  std::uint64_t rows = 0;
  std::uint64_t nativeInstructions = 0;
  std::uint64_t calledInstructions = 0;

 private:
  Interpreter& c_;
  std::uint8_t* space_ = nullptr;
  std::size_t used_ = 0;
};

}  // namespace sim::thumb
