// Rows translated into host code run exactly as the interpreter runs them:
// random rows of data-processing, load and store instructions run once
// interpreted and once translated from the same state, and must end alike
// (registers, flags, count, exit, fault, RAM, the store counts, peripheral
// accesses). Then the ways a row ends early: a peripheral access that stops
// the run, a bus that throws, a mark set inside a translated row, a new
// image under a translated row.
#include "sim/cpu/thumb/row_translator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "interpreter_harness.h"
#include "sim/cpu/thumb/interpreter.h"
#include "splitmix.h"

namespace {

using sim::thumb::Interpreter;
using thumb_test::Harness;
using thumb_test::kFlash;
using thumb_test::kPeripherals;
using thumb_test::kRam;
using thumb_test::Rng;

constexpr std::uint32_t kRamSize = 16 * 1024;
// Where the host has no translator, or refused executable memory.
constexpr const char* kInterpretedOnly = "this host runs every row interpreted";

// A register value a row's loads and stores make something of: RAM (its
// ends too), flash, the peripheral window, nowhere, or any value.
std::uint32_t baseValue(Rng& rng) {
  switch (rng.below(8)) {
    case 0:
    case 1:
    case 2:
      return kRam + rng.below(kRamSize);
    case 3:
      return kRam + kRamSize - 1 - rng.below(8);
    case 4:
      return kFlash + rng.below(0x1000);
    case 5:
      return kPeripherals + 4 * rng.below(16);
    case 6:
      return rng.below(64);
    default:
      return rng.next();
  }
}

// One random instruction of the kinds a row holds: 16-bit shifts, adds,
// moves, compares and logic, loads and stores in each addressing form,
// extends; 32-bit data processing with a modified immediate or a shifted
// register, MOVW/MOVT, loads and stores, a divide. Some encodings are
// undefined or unpredictable: they fault, in a row as anywhere.
std::vector<std::uint16_t> instruction(Rng& rng) {
  const auto lo = [&] { return rng.below(8); };
  const auto hi = [&] { return rng.below(13); };
  auto one = [](std::uint32_t h) { return std::vector<std::uint16_t>{static_cast<std::uint16_t>(h)}; };
  auto two = [](std::uint32_t w) {
    return std::vector<std::uint16_t>{static_cast<std::uint16_t>(w >> 16), static_cast<std::uint16_t>(w)};
  };
  switch (rng.below(20)) {
    case 0:
      return one(rng.below(3) << 11 | rng.below(32) << 6 | lo() << 3 | lo());  // LSL/LSR/ASR #imm
    case 1:
      return one(0x1800u | rng.below(4) << 9 | lo() << 6 | lo() << 3 | lo());  // ADD/SUB reg, imm3
    case 2:
      return one(0x2000u | rng.below(4) << 11 | lo() << 8 | rng.below(256));  // MOV/CMP/ADD/SUB imm8
    case 3:
    case 4:
      return one(0x4000u | rng.below(16) << 6 | lo() << 3 | lo());  // the register ALU ops
    case 5: {
      const unsigned op = rng.below(3);  // ADD, CMP, MOV with high registers; never to the PC
      unsigned d = rng.below(op == 1 ? 16 : 15);
      const unsigned m = rng.below(16);
      if (op == 1 && d < 8 && m < 8) d += 8;
      return one(0x4400u | op << 8 | (d & 8u) << 4 | m << 3 | (d & 7u));
    }
    case 6:
      return one(0x5000u | rng.below(8) << 9 | lo() << 6 | lo() << 3 | lo());  // [Rn, Rm]
    case 7:
      return one(0x6000u | rng.below(4) << 11 | rng.below(32) << 6 | lo() << 3 | lo());  // word, byte [Rn, #imm]
    case 8:
      return one(0x8000u | rng.below(2) << 11 | rng.below(32) << 6 | lo() << 3 | lo());  // halfword
    case 9:
      return one(0x9000u | rng.below(2) << 11 | lo() << 8 | rng.below(256));  // [SP, #imm]
    case 10:
      return one(0xA000u | rng.below(2) << 11 | lo() << 8 | rng.below(256));  // ADR, ADD Rd, SP
    case 11:
      return rng.below(2) == 0 ? one(0xB000u | rng.below(2) << 7 | rng.below(128))     // ADD/SUB SP
                               : one(0xB200u | rng.below(4) << 6 | lo() << 3 | lo());  // extends
    case 12:
      return one(0x4800u | lo() << 8 | rng.below(256));  // LDR literal
    case 13:
    case 14:
    case 15:
    case 16: {
      // Data processing with a modified immediate or a shifted register:
      // the same opcodes, S, Rn and Rd fields.
      static constexpr unsigned kOps[] = {0, 1, 2, 3, 4, 8, 10, 11, 13, 14};
      const unsigned op = kOps[rng.below(10)];
      const unsigned s = rng.below(2);
      const unsigned rn = rng.below(8) == 0 ? 15 : hi();
      const unsigned rd = s != 0 && rng.below(6) == 0 ? 15 : hi();
      const std::uint32_t fields = op << 21 | s << 20 | rn << 16 | rng.below(8) << 12 | rd << 8;
      if (rng.below(2) == 0) return two(0xF0000000u | rng.below(2) << 26 | fields | rng.below(256));
      return two(0xEA000000u | fields | rng.below(4) << 6 | rng.below(4) << 4 | hi());
    }
    case 17: {
      // LDR/STR (W, B, H, SB, SH) with imm12, with imm8 and an index, or a register.
      static constexpr std::uint32_t kKinds[] = {0xF8C00000u, 0xF8D00000u, 0xF8800000u, 0xF8900000u,
                                                 0xF8A00000u, 0xF8B00000u, 0xF9900000u, 0xF9B00000u};
      const std::uint32_t kind = kKinds[rng.below(8)];
      const std::uint32_t regs = hi() << 16 | hi() << 12;
      switch (rng.below(3)) {
        case 0:
          return two(kind | regs | rng.below(4096));
        case 1:
          return two((kind & ~0x00800000u) | regs | 0x800u | rng.below(8) << 8 | rng.below(256));
        default:
          return two((kind & ~0x00800000u) | regs | rng.below(4) << 4 | hi());
      }
    }
    case 18:
      return two((rng.below(2) == 0 ? 0xF2400000u : 0xF2C00000u) | rng.below(2) << 26 | rng.below(16) << 16 |
                 rng.below(8) << 12 | hi() << 8 | rng.below(256));  // MOVW, MOVT
    default:
      return two(0xFBB0F0F0u | hi() << 16 | hi() << 8 | hi());  // UDIV
  }
}

struct Outcome {
  Interpreter::Exit exit;
  std::uint64_t count;
  std::uint32_t regs[16];
  std::uint32_t apsr;
  std::string fault;
  std::uint32_t faultPc, faultAddress;
  std::uint64_t ramWrites, ramChanges;
  std::vector<std::uint8_t> ram;
  std::vector<thumb_test::Access> log;
};

Outcome outcomeOf(Harness& h, Interpreter::Exit exit) {
  Outcome o{exit, h.cpu->count, {}, h.cpu->apsr(), {}, 0, 0, h.cpu->ramWrites, h.cpu->ramChanges, h.ram, h.log};
  for (unsigned n = 0; n < 16; ++n) o.regs[n] = h.cpu->r(n);
  if (exit == Interpreter::Exit::Fault) {
    o.fault = h.cpu->faultInfo().what;
    o.faultPc = h.cpu->faultInfo().pc;
    o.faultAddress = h.cpu->faultInfo().address;
  }
  return o;
}

std::string differences(const Outcome& a, const Outcome& b) {
  std::string d;
  auto note = [&](const std::string& what, std::uint64_t x, std::uint64_t y) {
    if (x != y) d += " " + what + " " + std::to_string(x) + " vs " + std::to_string(y);
  };
  note("exit", static_cast<unsigned>(a.exit), static_cast<unsigned>(b.exit));
  note("count", a.count, b.count);
  for (unsigned n = 0; n < 16; ++n) note("r" + std::to_string(n), a.regs[n], b.regs[n]);
  note("apsr", a.apsr, b.apsr);
  if (a.fault != b.fault) d += " fault '" + a.fault + "' vs '" + b.fault + "'";
  note("fault pc", a.faultPc, b.faultPc);
  note("fault address", a.faultAddress, b.faultAddress);
  note("RAM stores", a.ramWrites, b.ramWrites);
  note("RAM changes", a.ramChanges, b.ramChanges);
  if (a.ram != b.ram) d += " RAM differs";
  note("peripheral accesses", a.log.size(), b.log.size());
  for (std::size_t i = 0; i < a.log.size() && i < b.log.size(); ++i) {
    const auto &x = a.log[i], &y = b.log[i];
    if (x.write != y.write || x.address != y.address || x.size != y.size || x.value != y.value) {
      d += " peripheral access " + std::to_string(i) + " differs";
    }
  }
  return d;
}

// The state a run starts from, set again before each run.
struct Start {
  std::uint32_t regs[15];
  std::uint32_t apsr;
  std::uint32_t quietFrom, quietTo;
  std::vector<std::uint8_t> ram;
};

void setUp(Harness& h, const Start& s, std::uint32_t pc) {
  for (unsigned n = 0; n < 15; ++n) h.cpu->setR(n, s.regs[n]);
  h.cpu->setApsr(s.apsr);
  h.cpu->setPc(pc);
  h.cpu->count = 0;
  h.cpu->ramWrites = 0;
  h.cpu->ramChanges = 0;
  h.cpu->quietFrom = s.quietFrom;
  h.cpu->quietTo = s.quietTo;
  h.ram = s.ram;
  h.registers.clear();
  h.log.clear();
}

TEST(RowTranslator, RandomRowsEndAsInterpreted) {
  Harness h;
  if (h.cpu->translator() == nullptr) GTEST_SKIP() << kInterpretedOnly;
  Rng rng(20261208);
  std::uint64_t translatedRuns = 0;
  for (int round = 0; round < 4000; ++round) {
    // A row of 3-18 instructions (shorter ones are never translated), then
    // a breakpoint that ends it.
    std::vector<std::uint16_t> code;
    std::vector<std::uint32_t> starts;  // each instruction's, in halfwords
    const unsigned length = 3 + rng.below(16);
    for (unsigned i = 0; i < length; ++i) {
      starts.push_back(static_cast<std::uint32_t>(code.size()));
      for (std::uint16_t half : instruction(rng)) code.push_back(half);
    }
    starts.push_back(static_cast<std::uint32_t>(code.size()));
    code.push_back(0xBE00u);  // BKPT
    const std::uint32_t at = kFlash + 0x100u + 2 * rng.below(64);
    h.code({}, at);
    for (std::size_t i = 0; i < code.size(); ++i) {
      h.flash[at - kFlash + 2 * i] = static_cast<std::uint8_t>(code[i]);
      h.flash[at - kFlash + 2 * i + 1] = static_cast<std::uint8_t>(code[i] >> 8);
    }
    for (std::size_t i = 0; i < 0x400; ++i) h.flash[0x800 + i] = static_cast<std::uint8_t>(rng.next());
    h.cpu->flashChanged();
    // Flash is also seen at 0: rows there read the PC from there.
    const std::uint32_t pc = rng.below(4) == 0 ? at - kFlash : at;

    Start s{};
    for (unsigned n = 0; n < 13; ++n) s.regs[n] = baseValue(rng);
    s.regs[13] = (kRam + 0x100u + rng.below(kRamSize - 0x200u)) & ~3u;
    s.regs[14] = rng.next();
    s.apsr = rng.next() & 0xF8000000u;
    s.quietFrom = kRam + rng.below(kRamSize);
    s.quietTo = s.quietFrom + rng.below(kRamSize);
    s.ram.resize(kRamSize);
    for (auto& b : s.ram) b = static_cast<std::uint8_t>(rng.next());

    // Interpreted, until the breakpoint: the row's end is then known.
    h.cpu->translateAfter = 0;
    setUp(h, s, pc);
    const Outcome interpreted = outcomeOf(h, h.step(length + 1));
    // Every instruction decoded (a fault may have ended the run before
    // some): the row's end is known.
    for (std::uint32_t start : starts) {
      setUp(h, s, pc + 2 * start);
      h.step(1);
    }
    const std::uint64_t rowsBefore = h.cpu->translator()->rows;
    h.cpu->translateAfter = 1;
    setUp(h, s, pc);
    const Outcome translated = outcomeOf(h, h.step(length + 1));
    translatedRuns += h.cpu->translator()->rows - rowsBefore;
    ASSERT_EQ(differences(interpreted, translated), "") << "round " << round << " at " << std::hex << pc;
  }
  EXPECT_GE(translatedRuns, 4000u);  // a row a round, and its rest after a peripheral access
  EXPECT_GT(h.cpu->translator()->nativeInstructions, 10000u);
  EXPECT_GT(h.cpu->translator()->calledInstructions, 1000u);
}

// A bus that stops the run at one address, or throws there.
class StoppingBus : public Harness {
 public:
  std::uint32_t read(std::uint32_t address, unsigned size) override {
    if (address == throwAt) throw std::runtime_error("the model failed");
    if (address == stopAt) cpu->requestStop();
    return Harness::read(address, size);
  }
  std::uint32_t stopAt = 0, throwAt = 0;
};

// r0 = a peripheral, then ADDS r1, #1 three times, LDR r2, [r0], ADDS r1, #1
// twice, BKPT: the load is the row's fourth instruction.
void peripheralRow(StoppingBus& h) { h.code({0x2101, 0x3101, 0x3101, 0x6802, 0x3101, 0x3101, 0xBE00}); }

// Runs the row hot (translated from its second start), then once more from
// its start with r0 at `r0`.
Interpreter::Exit runHot(StoppingBus& h, std::uint32_t r0) {
  h.cpu->translateAfter = 2;
  for (int i = 0; i < 2; ++i) {
    h.cpu->setPc(kFlash + 0x100u);
    h.cpu->setR(0, kRam);
    h.step(10);
  }
  h.cpu->setPc(kFlash + 0x100u);
  h.cpu->setR(0, r0);
  h.cpu->count = 0;
  return h.step(10);
}

TEST(RowTranslator, APeripheralAccessEndsTheRowAfterIt) {
  StoppingBus h;
  if (h.cpu->translator() == nullptr) GTEST_SKIP() << kInterpretedOnly;
  peripheralRow(h);
  h.stopAt = kPeripherals + 8;
  EXPECT_EQ(runHot(h, kPeripherals + 8), Interpreter::Exit::Stopped);
  EXPECT_EQ(h.cpu->translator()->rows, 1u);
  EXPECT_EQ(h.cpu->count, 4u);
  EXPECT_EQ(h.cpu->pc(), kFlash + 0x108u);
  EXPECT_EQ(h.cpu->r(1), 3u);
  // The rest of the row runs interpreted from there.
  EXPECT_EQ(h.step(10), Interpreter::Exit::Breakpoint);
  EXPECT_EQ(h.cpu->r(1), 5u);
  EXPECT_EQ(h.cpu->count, 7u);
}

TEST(RowTranslator, WhatTheBusThrowsLeavesTheRunAtItsInstruction) {
  StoppingBus h;
  if (h.cpu->translator() == nullptr) GTEST_SKIP() << kInterpretedOnly;
  peripheralRow(h);
  h.throwAt = kPeripherals + 4;
  EXPECT_THROW(runHot(h, kPeripherals + 4), std::runtime_error);
  EXPECT_EQ(h.cpu->translator()->rows, 1u);
  EXPECT_EQ(h.cpu->count, 4u);
  EXPECT_EQ(h.cpu->pc(), kFlash + 0x106u);
  EXPECT_EQ(h.cpu->r(1), 3u);
  // The next run is not troubled by it.
  h.cpu->setPc(kFlash + 0x100u);
  h.cpu->setR(0, kRam);
  EXPECT_EQ(h.step(10), Interpreter::Exit::Breakpoint);
}

TEST(RowTranslator, AMarkSetInsideATranslatedRowStopsTheRunThere) {
  StoppingBus h;
  if (h.cpu->translator() == nullptr) GTEST_SKIP() << kInterpretedOnly;
  peripheralRow(h);
  std::vector<std::uint8_t> marks(h.flash.size() / 2, 0);
  h.cpu->setMarks(marks.data(), 1);
  EXPECT_EQ(runHot(h, kRam), Interpreter::Exit::Breakpoint);
  EXPECT_EQ(h.cpu->translator()->rows, 1u);
  marks[(0x100 + 2 * 4) / 2] = 1;  // the fifth instruction
  h.cpu->markChanged(0x100 + 2 * 4);
  h.cpu->setPc(kFlash + 0x100u);
  h.cpu->count = 0;
  EXPECT_EQ(h.step(10), Interpreter::Exit::Marked);
  EXPECT_EQ(h.cpu->count, 4u);
  EXPECT_EQ(h.cpu->pc(), kFlash + 0x108u);
}

TEST(RowTranslator, ANewImageDropsTheTranslatedRows) {
  StoppingBus h;
  if (h.cpu->translator() == nullptr) GTEST_SKIP() << kInterpretedOnly;
  peripheralRow(h);
  EXPECT_EQ(runHot(h, kRam), Interpreter::Exit::Breakpoint);
  EXPECT_EQ(h.cpu->r(1), 5u);
  // Same place, other code: ADDS r1, #1 becomes ADDS r1, #2.
  h.code({0x2101, 0x3102, 0x3102, 0x6802, 0x3102, 0x3102, 0xBE00});
  EXPECT_EQ(runHot(h, kRam), Interpreter::Exit::Breakpoint);
  EXPECT_EQ(h.cpu->r(1), 9u);
}

}  // namespace
