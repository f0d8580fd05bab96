// Extends, reversals, wide immediates, saturation, bit fields, shifts by a
// register, multiplies and divides, run on the interpreter.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

#include "interpreter_harness.h"

namespace {

using sim::thumb::Interpreter;
using thumb_test::Harness;
using thumb_test::kFlash;

class ThumbBits : public ::testing::Test {
 protected:
  // Runs `instructions` instructions of `code`; they must all run.
  void run(std::initializer_list<std::uint16_t> code, unsigned instructions = 1,
           std::uint32_t address = kFlash + 0x100u) {
    h.code(code, address);
    ASSERT_EQ(h.step(instructions), Interpreter::Exit::Limit) << h.cpu->faultInfo().what;
  }
  void expectUndefined(std::initializer_list<std::uint16_t> code) {
    h.code(code);
    EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
    EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: undefined instruction");
  }
  std::uint32_t& r(unsigned n) { return h.cpu->regs[n]; }

  Harness h;
};

TEST_F(ThumbBits, ShortExtendsAndByteReversals) {
  r(2) = 0x12348081u;
  // sxth r1,r2; sxtb r3,r2; uxth r4,r2; uxtb r5,r2; rev r6,r2; rev16 r7,r2; revsh r0,r2
  run({0xB211, 0xB253, 0xB294, 0xB2D5, 0xBA16, 0xBA57, 0xBAD0}, 7);
  EXPECT_EQ(r(1), 0xFFFF8081u);
  EXPECT_EQ(r(3), 0xFFFFFF81u);
  EXPECT_EQ(r(4), 0x00008081u);
  EXPECT_EQ(r(5), 0x00000081u);
  EXPECT_EQ(r(6), 0x81803412u);
  EXPECT_EQ(r(7), 0x34128180u);
  EXPECT_EQ(r(0), 0xFFFF8180u);
  EXPECT_EQ(r(2), 0x12348081u);
  expectUndefined({0xBA91});  // between REV16 and REVSH
}

TEST_F(ThumbBits, WideExtendsRotateRightFirst) {
  r(1) = 0x80FF7F01u;
  // sxth.w r0,r1,ror #8; uxtb.w r2,r1,ror #16; sxtb.w r3,r1,ror #24; uxth.w r4,r1
  run({0xFA0F, 0xF091, 0xFA5F, 0xF2A1, 0xFA4F, 0xF3B1, 0xFA1F, 0xF481}, 4);
  EXPECT_EQ(r(0), 0xFFFFFF7Fu);
  EXPECT_EQ(r(2), 0x000000FFu);
  EXPECT_EQ(r(3), 0xFFFFFF80u);
  EXPECT_EQ(r(4), 0x00007F01u);
  // Extend-and-add, the two-halfword extends, a destination of SP: not on this core.
  expectUndefined({0xFA02, 0xF081});  // sxtah r0,r2,r1
  expectUndefined({0xFA2F, 0xF081});  // sxtb16 r0,r1
  expectUndefined({0xFA0F, 0xFD81});  // sxth.w sp,r1
}

TEST_F(ThumbBits, WideReversalsAndLeadingZeros) {
  r(1) = 0x00018F02u;
  r(8) = 0;
  // rev.w r2,r1; rev16.w r3,r1; rbit r4,r1; revsh.w r5,r1; clz r6,r1; clz r7,r8
  run({0xFA91, 0xF281, 0xFA91, 0xF391, 0xFA91, 0xF4A1, 0xFA91, 0xF5B1, 0xFAB1, 0xF681, 0xFAB8, 0xF788}, 6);
  EXPECT_EQ(r(2), 0x028F0100u);
  EXPECT_EQ(r(3), 0x0100028Fu);
  EXPECT_EQ(r(4), 0x40F18000u);
  EXPECT_EQ(r(5), 0x0000028Fu);
  EXPECT_EQ(r(6), 15u);
  EXPECT_EQ(r(7), 32u);
  expectUndefined({0xFA92, 0xF081});  // rev.w with two different source registers
  expectUndefined({0xFA82, 0xF081});  // qadd r0,r1,r2
  expectUndefined({0xFA91, 0x0081});  // bits 15:12 not all ones
}

TEST_F(ThumbBits, WideImmediatesAddSubtractAndMove) {
  r(1) = 0x10000000u;
  r(3) = 0xFFFFFFFFu;
  const std::uint32_t sp = r(13);
  // addw r0,r1,#0xabc; subw sp,sp,#4; movw r3,#0x1234; movt r3,#0xabcd; movt r1,#0x5555
  run({0xF601, 0x20BC, 0xF2AD, 0x0D04, 0xF241, 0x2334, 0xF6CA, 0x33CD, 0xF2C5, 0x5155}, 5);
  EXPECT_EQ(r(0), 0x10000ABCu);
  EXPECT_EQ(r(13), sp - 4u);
  EXPECT_EQ(r(3), 0xABCD1234u);
  EXPECT_EQ(r(1), 0x55550000u);
  expectUndefined({0xF201, 0x0D04});  // addw sp,r1,#4
  expectUndefined({0xF20D, 0x0F04});  // addw pc,sp,#4
  expectUndefined({0xF240, 0x0D00});  // movw sp,#0
}

TEST_F(ThumbBits, AdrCountsFromTheWordBelowTheInstructionWhereverItRuns) {
  // addw r0,pc,#6 at an address two past a word, then subw r1,pc,#4
  run({0xF20F, 0x0006, 0xF2AF, 0x0104}, 2, kFlash + 0x102u);
  EXPECT_EQ(r(0), kFlash + 0x104u + 6u);
  EXPECT_EQ(r(1), kFlash + 0x108u - 4u);
  // The same decoded instructions run from flash's alias at 0.
  h.cpu->setPc(0x102u);
  ASSERT_EQ(h.step(2), Interpreter::Exit::Limit);
  EXPECT_EQ(r(0), 0x104u + 6u);
  EXPECT_EQ(r(1), 0x108u - 4u);
}

TEST_F(ThumbBits, SaturationClampsAndSetsQOnlyWhenItClamps) {
  const std::uint16_t ssat8[] = {0xF301, 0x0007};  // ssat r0,#8,r1
  struct Case {
    std::uint32_t in, out;
    std::uint8_t q;
  };
  for (const Case& k : {Case{100u, 100u, 0}, Case{127u, 127u, 0}, Case{300u, 127u, 1},
                        Case{0xFFFFFF80u, 0xFFFFFF80u, 0}, Case{0xFFFFFED4u, 0xFFFFFF80u, 1}}) {
    h.cpu->flagQ = 0;
    r(1) = k.in;
    run({ssat8[0], ssat8[1]});
    EXPECT_EQ(r(0), k.out) << k.in;
    EXPECT_EQ(h.cpu->flagQ, k.q) << k.in;
  }
  // Q stays set through a result that needs no clamping.
  h.cpu->flagQ = 1;
  r(1) = 5;
  run({ssat8[0], ssat8[1]});
  EXPECT_EQ(h.cpu->flagQ, 1);

  h.cpu->flagQ = 0;
  r(1) = 0x007FFFF0u;
  r(2) = 63;
  r(3) = 64;
  r(4) = 0xFFFFFFFFu;
  r(5) = 0x80000000u;
  r(6) = 5;
  // ssat r0,#16,r1,asr #4; usat r7,#8,r2,lsl #2; ssat r8,#32,r5; usat r9,#0,r6
  run({0xF321, 0x100F, 0xF382, 0x0788, 0xF305, 0x081F, 0xF386, 0x0900}, 4);
  EXPECT_EQ(r(0), 0x7FFFu);
  EXPECT_EQ(r(7), 252u);
  EXPECT_EQ(r(8), 0x80000000u);
  EXPECT_EQ(r(9), 0u);
  EXPECT_EQ(h.cpu->flagQ, 1);  // from the last one
  h.cpu->flagQ = 0;
  // usat r7,#8,r3,lsl #2 (256 clamps to 255); usat r10,#8,r4 (negative clamps to 0)
  run({0xF383, 0x0788}, 1);
  EXPECT_EQ(r(7), 255u);
  EXPECT_EQ(h.cpu->flagQ, 1);
  h.cpu->flagQ = 0;
  run({0xF384, 0x0A08}, 1);
  EXPECT_EQ(r(10), 0u);
  EXPECT_EQ(h.cpu->flagQ, 1);

  expectUndefined({0xF321, 0x0007});  // ssat16 r0,#8,r1
  expectUndefined({0xF30D, 0x0007});  // ssat r0,#8,sp
  expectUndefined({0xF701, 0x0007});  // bit 26 set
}

TEST_F(ThumbBits, BitFieldsExtractInsertAndClear) {
  r(1) = 0x00000F80u;
  r(2) = 0xFFFFFFFFu;
  r(3) = 0xFFFFFFFFu;
  r(4) = 0x12345678u;
  // sbfx r0,r1,#4,#8; ubfx r5,r1,#4,#8; bfi r2,r1,#8,#4 (takes r1's low 4 bits: 0);
  // bfc r3,#8,#4; sbfx r6,r4,#0,#32; ubfx r7,r4,#0,#32; bfi r8,r4,#0,#32
  run({0xF341, 0x1007, 0xF3C1, 0x1507, 0xF361, 0x220B, 0xF36F, 0x230B, 0xF344, 0x061F, 0xF3C4, 0x071F, 0xF364, 0x081F},
      7);
  EXPECT_EQ(r(0), 0xFFFFFFF8u);
  EXPECT_EQ(r(5), 0x000000F8u);
  EXPECT_EQ(r(2), 0xFFFFF0FFu);
  EXPECT_EQ(r(3), 0xFFFFF0FFu);
  EXPECT_EQ(r(6), 0x12345678u);
  EXPECT_EQ(r(7), 0x12345678u);
  EXPECT_EQ(r(8), 0x12345678u);
  r(1) = 0xA5u;
  r(2) = 0;
  run({0xF361, 0x725F}, 1);  // bfi r2,r1,#29,#3: only the field's bits move
  EXPECT_EQ(r(2), 0xA0000000u);

  expectUndefined({0xF3C1, 0x7083});  // ubfx r0,r1,#30,#4: past bit 31
  expectUndefined({0xF361, 0x2004});  // bfi with its top bit below its lowest
  expectUndefined({0xF36D, 0x200B});  // bfi from sp
}

TEST_F(ThumbBits, ShiftsByARegisterUseItsLowByteAndSetCarryAsTheArchitectureSays) {
  struct Case {
    std::uint16_t first;  // which shift, with S; then 0xF002: r0 = r1 shifted by r2
    std::uint32_t amount, result;
    std::uint8_t carry;
  };
  const Case cases[] = {
      {0xFA11, 1, 0x00000002u, 1},      // LSLS
      {0xFA11, 0, 0x80000001u, 1},      // LSLS by 0: carry kept
      {0xFA11, 32, 0, 1},               // LSLS by 32: bit 0 out
      {0xFA11, 33, 0, 0},               //
      {0xFA11, 0x101, 0x00000002u, 1},  // only the low byte counts
      {0xFA31, 1, 0x40000000u, 1},      // LSRS
      {0xFA31, 32, 0, 1},               // bit 31 out
      {0xFA51, 4, 0xF8000000u, 0},      // ASRS
      {0xFA51, 40, 0xFFFFFFFFu, 1},     //
      {0xFA71, 4, 0x18000000u, 0},      // RORS
      {0xFA71, 32, 0x80000001u, 1},     // a whole turn: carry is bit 31
  };
  for (const Case& k : cases) {
    h.cpu->setApsr(0x30000000u);  // C and V set, N and Z clear
    r(1) = 0x80000001u;
    r(2) = k.amount;
    run({k.first, 0xF002});
    EXPECT_EQ(r(0), k.result) << std::hex << k.first << " by " << k.amount;
    EXPECT_EQ(h.cpu->flagC, k.carry) << std::hex << k.first << " by " << k.amount;
    EXPECT_EQ(h.cpu->flagZ, k.result == 0);
    EXPECT_EQ(h.cpu->flagN, k.result >> 31);
    EXPECT_EQ(h.cpu->flagV, 1);
  }
  // Without S the flags stay.
  h.cpu->setApsr(0);
  r(1) = 0x80000000u;
  r(2) = 1;
  run({0xFA01, 0xF002});  // lsl.w r0,r1,r2
  EXPECT_EQ(r(0), 0u);
  EXPECT_EQ(h.cpu->apsr(), 0u);
  expectUndefined({0xFA01, 0xFD02});  // lsl.w sp,r1,r2
  expectUndefined({0xFA0F, 0xF002});  // lsl.w r0,pc,r2
  expectUndefined({0xFA01, 0xF012});  // bits 7:4 not zero
}

TEST_F(ThumbBits, MultipliesKeepTheLowWordOrTheWholeProduct) {
  h.cpu->setApsr(0xF0000000u);
  r(1) = 0x10001u;
  r(2) = 0x10003u;
  r(3) = 100;
  // mul.w r4,r1,r2; mla r5,r1,r2,r3; mls r6,r1,r2,r3
  run({0xFB01, 0xF402, 0xFB01, 0x3502, 0xFB01, 0x3612}, 3);
  EXPECT_EQ(r(4), 0x00040003u);
  EXPECT_EQ(r(5), 0x00040003u + 100u);
  EXPECT_EQ(r(6), 100u - 0x00040003u);
  EXPECT_EQ(h.cpu->apsr(), 0xF0000000u);  // no flags change

  struct Case {
    std::uint16_t first;  // RdLo r0, RdHi r1, Rn r2, Rm r3
    std::uint32_t lo, hi, result_lo, result_hi;
  };
  const Case cases[] = {
      {0xFB82, 0, 0, 0xFFFFFFFAu, 0xFFFFFFFFu},  // smull: -2 * 3
      {0xFBA2, 0, 0, 0xFFFFFFFAu, 0x00000002u},  // umull: 0xFFFFFFFE * 3
      {0xFBC2, 2, 1, 0xFFFFFFFCu, 0x00000000u},  // smlal: 0x1_00000002 - 6
      {0xFBE2, 2, 1, 0xFFFFFFFCu, 0x00000003u},  // umlal: 0x1_00000002 + 0x2_FFFFFFFA
  };
  for (const Case& k : cases) {
    r(0) = k.lo;
    r(1) = k.hi;
    r(2) = 0xFFFFFFFEu;
    r(3) = 3;
    run({k.first, 0x0103});
    EXPECT_EQ(r(0), k.result_lo) << std::hex << k.first;
    EXPECT_EQ(r(1), k.result_hi) << std::hex << k.first;
  }
  expectUndefined({0xFB82, 0x0003});  // smull r0,r0,r2,r3
  expectUndefined({0xFB01, 0xD002});  // mla with sp to add
  expectUndefined({0xFB11, 0x3002});  // smlabb
  expectUndefined({0xFBE2, 0x0163});  // umaal
}

TEST_F(ThumbBits, DividesRoundTowardZeroAndGiveZeroForZero) {
  struct Case {
    std::uint16_t first;  // r0 = r1 / r2
    std::uint32_t n, m, q;
  };
  const Case cases[] = {
      {0xFB91, 7, 2, 3},
      {0xFB91, static_cast<std::uint32_t>(-7), 2, static_cast<std::uint32_t>(-3)},
      {0xFB91, 7, static_cast<std::uint32_t>(-2), static_cast<std::uint32_t>(-3)},
      {0xFB91, 7, 0, 0},
      {0xFB91, 0x80000000u, 0xFFFFFFFFu, 0x80000000u},
      {0xFBB1, 0xFFFFFFFFu, 2, 0x7FFFFFFFu},
      {0xFBB1, 0xFFFFFFFFu, 0, 0},
  };
  for (const Case& k : cases) {
    r(0) = 0x55u;
    r(1) = k.n;
    r(2) = k.m;
    run({k.first, 0xF0F2});
    EXPECT_EQ(r(0), k.q) << std::hex << k.first << ' ' << k.n << " / " << k.m;
  }
  expectUndefined({0xFB91, 0x00F2});  // bits 15:12 not all ones
  expectUndefined({0xFB91, 0xFDF2});  // sdiv sp,r1,r2
}

}  // namespace
