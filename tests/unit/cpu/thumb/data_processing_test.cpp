// Arithmetic and logic instructions run on the interpreter: results, the
// flags they set or keep, the 16-bit forms inside an IT block, SP and PC as
// operands, and the encodings the core refuses.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "interpreter_harness.h"

namespace {

using sim::thumb::Interpreter;
using thumb_test::Harness;
using thumb_test::kFlash;

constexpr unsigned N = 8, Z = 4, C = 2, V = 1;

// One instruction from a known state: r0-r2 and NZCV in, a register and NZCV
// out. A 32-bit instruction is written first halfword << 16 | second.
struct Case {
  std::uint32_t insn;
  std::uint32_t r0, r1, r2;
  unsigned flagsIn;
  unsigned out;  // the register checked
  std::uint32_t expected;
  unsigned flagsOut;
};

void runCases(std::initializer_list<Case> cases) {
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message() << "instruction 0x" << std::hex << k.insn);
    Harness h;
    const bool wide = k.insn > 0xFFFFu;
    if (wide) {
      h.code({static_cast<std::uint16_t>(k.insn >> 16), static_cast<std::uint16_t>(k.insn), 0xBF00});
    } else {
      h.code({static_cast<std::uint16_t>(k.insn), 0xBF00});
    }
    h.cpu->regs[0] = k.r0;
    h.cpu->regs[1] = k.r1;
    h.cpu->regs[2] = k.r2;
    h.cpu->setApsr(k.flagsIn << 28);
    const std::uint32_t sp = h.cpu->regs[13];
    ASSERT_EQ(h.step(), Interpreter::Exit::Limit) << h.cpu->faultInfo().what;
    EXPECT_EQ(h.cpu->pc(), kFlash + (wide ? 0x104u : 0x102u));
    EXPECT_EQ(h.cpu->r(k.out), k.expected);
    EXPECT_EQ(h.cpu->apsr() >> 28, k.flagsOut);
    if (k.out != 13) {
      EXPECT_EQ(h.cpu->regs[13], sp);
    }
  }
}

TEST(ThumbDataProcessing, ShortAddsSubtractsAndComparesSetCarryAndOverflow) {
  runCases({
      {0x1C48, 0, 0x7FFFFFFF, 0, 0, 0, 0x80000000, N | V},     // adds r0, r1, #1
      {0x1842, 0xFFFFFFFF, 1, 0, N, 2, 0, Z | C},              // adds r2, r0, r1
      {0x1A43, 3, 5, 0, 0, 3, 0xFFFFFFFE, N},                  // subs r3, r0, r1
      {0x1A43, 0x80000000, 1, 0, 0, 3, 0x7FFFFFFF, C | V},     // subs r3, r0, r1
      {0x2805, 5, 0, 0, N, 0, 5, Z | C},                       // cmp r0, #5
      {0x42C8, 1, 0xFFFFFFFF, 0, 0, 0, 1, Z | C},              // cmn r0, r1
      {0x4244, 0, 0, 0, 0, 4, 0, Z | C},                       // negs r4, r0
      {0x4244, 0x80000000, 0, 0, 0, 4, 0x80000000, N | V},     // negs r4, r0
      {0x3DC8, 0, 0, 0, 0, 5, 0xFFFFFF38, N},                  // subs r5, #200
      {0x2600, 7, 0, 0, C | V, 6, 0, Z | C | V},               // movs r6, #0
  });
}

TEST(ThumbDataProcessing, CarryChainsAddAndSubtractSixtyFourBits) {
  Harness h;
  // adds r0, r0, r2; adcs r1, r3; subs r0, r0, r2; sbcs r1, r3
  h.code({0x1880, 0x4159, 0x1A80, 0x4199});
  h.cpu->regs[0] = 0xFFFFFFFF;
  h.cpu->regs[1] = 1;
  h.cpu->regs[2] = 1;
  h.cpu->regs[3] = 0;
  h.step(2);
  EXPECT_EQ(h.cpu->regs[0], 0u);
  EXPECT_EQ(h.cpu->regs[1], 2u);
  EXPECT_EQ(h.cpu->apsr() >> 28, 0u);
  h.step(2);
  EXPECT_EQ(h.cpu->regs[0], 0xFFFFFFFFu);
  EXPECT_EQ(h.cpu->regs[1], 1u);
  EXPECT_EQ(h.cpu->apsr() >> 28, C);
}

TEST(ThumbDataProcessing, ShortFormsKeepTheFlagsInsideAnItBlockButComparesSetThem) {
  // Each runs as the only instruction of an IT EQ block, with Z set.
  for (std::uint16_t insn : {0x1C48 /* adds r0, r1, #1 */, 0x4088 /* lsls r0, r1 */, 0x4348 /* muls r0, r1 */,
                             0x43C8 /* mvns r0, r1 */, 0x4148 /* adcs r0, r1 */}) {
    Harness h;
    h.code({insn, 0xBF00});
    h.cpu->regs[0] = 0xFFFFFFFF;
    h.cpu->regs[1] = 0xFFFFFFFF;
    h.cpu->setApsr(Z << 28);
    h.cpu->setItState(0x08);
    h.step();
    EXPECT_NE(h.cpu->regs[0], 0xFFFFFFFFu) << std::hex << insn;
    EXPECT_EQ(h.cpu->apsr() >> 28, Z) << std::hex << insn;
  }
  Harness h;
  h.code({0x2805, 0xBF00});  // cmp r0, #5
  h.cpu->regs[0] = 3;
  h.cpu->setApsr(Z << 28);
  h.cpu->setItState(0x08);
  h.step();
  EXPECT_EQ(h.cpu->apsr() >> 28, N);
}

TEST(ThumbDataProcessing, ShiftsGiveTheLastBitOutAsCarry) {
  runCases({
      {0x0808, 0, 0x80000001, 0, 0, 0, 0, Z | C},               // lsrs r0, r1, #32
      {0x1008, 0, 0x80000000, 0, 0, 0, 0xFFFFFFFF, N | C},      // asrs r0, r1, #32
      {0x0048, 0, 0x80000001, 0, 0, 0, 2, C},                   // lsls r0, r1, #1
      {0x0008, 5, 0, 0, C | V, 0, 0, Z | C | V},                // movs r0, r1
      {0x4088, 0x80000001, 0x100, 0, C, 0, 0x80000001, N | C},  // lsls r0, r1 (by 0)
      {0x4088, 0x80000001, 32, 0, 0, 0, 0, Z | C},              // lsls r0, r1 (by 32)
      {0x4088, 0x80000001, 33, 0, C, 0, 0, Z},                  // lsls r0, r1 (by 33)
      {0x40C8, 0x80000001, 32, 0, 0, 0, 0, Z | C},              // lsrs r0, r1 (by 32)
      {0x4108, 0x80000000, 40, 0, 0, 0, 0xFFFFFFFF, N | C},     // asrs r0, r1 (by 40)
      {0x41C8, 0x80000001, 32, 0, 0, 0, 0x80000001, N | C},     // rors r0, r1 (by 32)
      {0x41C8, 0x0000001F, 4, 0, 0, 0, 0xF0000001, N | C},      // rors r0, r1 (by 4)
      {0x4348, 3, 0x80000000, 0, C | V, 0, 0x80000000, N | C | V},  // muls r0, r1
  });
}

TEST(ThumbDataProcessing, ShortLogicalOperationsKeepCarryAndOverflow) {
  runCases({
      {0x4008, 0xF0F0, 0xFF00, 0, C | V, 0, 0xF000, C | V},    // ands r0, r1
      {0x4048, 0xF0F0, 0xF0F0, 0, 0, 0, 0, Z},                 // eors r0, r1
      {0x4308, 0x80000000, 1, 0, 0, 0, 0x80000001, N},         // orrs r0, r1
      {0x4388, 0xFF, 0x0F, 0, 0, 0, 0xF0, 0},                  // bics r0, r1
      {0x4208, 0xF0, 0x0F, 0, N, 0, 0xF0, Z},                  // tst r0, r1
  });
}

TEST(ThumbDataProcessing, HighRegistersAndTheStackPointerAddMoveAndCompare) {
  Harness h;
  // add r0, r8; add r8, r0; add r1, sp; movs r1, #8; add sp, r1; cmp r8, r1; mov r8, r0; mov r0, r1
  h.code({0x4440, 0x4480, 0x4469, 0x2108, 0x448D, 0x4588, 0x4680, 0x4608});
  h.cpu->regs[0] = 1;
  h.cpu->regs[8] = 2;
  h.cpu->regs[1] = 5;
  const std::uint32_t sp = h.cpu->regs[13];
  h.step(3);
  EXPECT_EQ(h.cpu->regs[0], 3u);
  EXPECT_EQ(h.cpu->regs[8], 5u);
  EXPECT_EQ(h.cpu->regs[1], sp + 5u);
  h.step(2);
  EXPECT_EQ(h.cpu->regs[13], sp + 8u);
  EXPECT_EQ(h.cpu->apsr() >> 28, 0u);  // ADD on high registers sets no flags
  h.step();
  EXPECT_EQ(h.cpu->apsr() >> 28, N);  // 5 - 8
  h.step(2);
  EXPECT_EQ(h.cpu->regs[8], 3u);
  EXPECT_EQ(h.cpu->regs[0], 8u);
  EXPECT_EQ(h.cpu->apsr() >> 28, N);

  // add r1, sp, #8; add sp, #16; sub sp, #16 and 32-bit: add.w sp, sp, #0x100;
  // sub.w r0, sp, #0x100; sub.w sp, sp, r1, lsl #2; mov.w sp, r0; mov.w r0, sp
  h.code({0xA902, 0xB004, 0xB084, 0xF50D, 0x7D80, 0xF5AD, 0x7080, 0xEBAD, 0x0D81, 0xEA4F, 0x0D00, 0xEA4F, 0x000D});
  h.cpu->regs[13] = sp;
  h.step();
  EXPECT_EQ(h.cpu->regs[1], sp + 8u);
  h.step();
  EXPECT_EQ(h.cpu->regs[13], sp + 16u);
  h.step(2);
  EXPECT_EQ(h.cpu->regs[13], sp + 0x100u);
  h.step();
  EXPECT_EQ(h.cpu->regs[0], sp);
  h.cpu->regs[1] = 3;
  h.step();
  EXPECT_EQ(h.cpu->regs[13], sp + 0x100u - 12u);
  h.cpu->regs[0] = sp + 7u;  // SP keeps its two low bits clear
  h.step(2);
  EXPECT_EQ(h.cpu->regs[13], sp + 4u);
  EXPECT_EQ(h.cpu->regs[0], sp + 4u);
}

TEST(ThumbDataProcessing, PcAsOperandReadsAheadAndAsDestinationBranches) {
  for (std::uint32_t at : {kFlash + 0x100u, kFlash + 0x102u}) {
    Harness h;
    // adr r0, +4; add r7, pc; add pc, r1; (skipped); mov pc, r2
    h.code({0xA001, 0x447F, 0x448F, 0xBF00, 0x4697}, at);
    h.cpu->regs[7] = 0;
    h.cpu->regs[1] = 1;  // bit 0 of the target is ignored
    h.cpu->regs[2] = at + 0x41u;
    h.step();
    EXPECT_EQ(h.cpu->regs[0], ((at + 4u) & ~3u) + 4u);
    h.step();
    EXPECT_EQ(h.cpu->regs[7], at + 2u + 4u);
    h.step();
    EXPECT_EQ(h.cpu->pc(), at + 4u + 4u + 0u);  // add pc, r1 at at+4: PC reads at+8
    h.step();
    EXPECT_EQ(h.cpu->pc(), at + 0x40u);
  }
}

TEST(ThumbDataProcessing, WideImmediatesExpandAndRotatedOnesSetTheCarry) {
  runCases({
      {0xF00120FF, 0, 0xFFFFFFFF, 0, 0, 0, 0xFF00FF00, 0},       // and.w r0, r1, #0xFF00FF00
      {0xF04F10AB, 0, 0, 0, 0, 0, 0x00AB00AB, 0},                // mov.w r0, #0x00AB00AB
      {0xF08130AB, 0, 0xFFFFFFFF, 0, 0, 0, 0x54545454, 0},       // eor.w r0, r1, #0xABABABAB
      {0xF0114000, 0, 0x80000000, 0, 0, 0, 0x80000000, N | C},   // ands.w r0, r1, #0x80000000
      {0xF01100FF, 0, 0x100, 0, C | V, 0, 0, Z | C | V},         // ands.w r0, r1, #0xFF
      {0xF45F307F, 0, 0, 0, C, 0, 0x3FC00, 0},                   // movs.w r0, #0x3FC00
      {0xF07F0000, 0, 0, 0, C, 0, 0xFFFFFFFF, N | C},            // mvns.w r0, #0
      {0xF06100FF, 0, 0x1000, 0, 0, 0, 0xFFFFFF00, 0},           // orn r0, r1, #0xFF
      {0xF04100F0, 0, 0x0F, 0, 0, 0, 0xFF, 0},                   // orr.w r0, r1, #0xF0
      {0xF02100F0, 0, 0xFF, 0, 0, 0, 0x0F, 0},                   // bic r0, r1, #0xF0
      {0xF0104F00, 0x80000000, 0, 0, 0, 0, 0x80000000, N | C},   // tst.w r0, #0x80000000
      {0xF0900F01, 1, 0, 0, C, 0, 1, Z | C},                     // teq r0, #1
      {0xF5015080, 0, 1, 0, 0, 0, 0x1001, 0},                    // add.w r0, r1, #0x1000
      {0xF5115080, 0, 0xFFFFF000, 0, 0, 0, 0, Z | C},            // adds.w r0, r1, #0x1000
      {0xF1100F01, 0xFFFFFFFF, 0, 0, 0, 0, 0xFFFFFFFF, Z | C},   // cmn.w r0, #1
      {0xF1410010, 0, 1, 0, C, 0, 0x12, C},                      // adc.w r0, r1, #16
      {0xF1610010, 0, 0x20, 0, 0, 0, 0x0F, 0},                   // sbc r0, r1, #16
      {0xF1B10001, 0, 0, 0, 0, 0, 0xFFFFFFFF, N},                // subs.w r0, r1, #1
      {0xF5B07F80, 0x100, 0, 0, 0, 0, 0x100, Z | C},             // cmp.w r0, #0x100
      {0xF5C17080, 0, 1, 0, 0, 0, 0xFF, 0},                      // rsb r0, r1, #0x100
  });
}

TEST(ThumbDataProcessing, WideShiftedRegistersShiftTheSecondOperand) {
  runCases({
      {0xEB1100C2, 0, 8, 0x3FFFFFFF, 0, 0, 0, Z | C},             // adds.w r0, r1, r2, lsl #3
      {0xEB010012, 0, 5, 0xFFFFFFFF, 0, 0, 5, 0},                // add.w r0, r1, r2, lsr #32
      {0xEA5F0021, 0, 0x7FFFFFFF, 0, C, 0, 0, Z},                // movs.w r0, r1, asr #32
      {0xEA4F0031, 0, 3, 0, C, 0, 0x80000001, C},                // mov.w r0, r1, rrx
      {0xEA5F0031, 0, 3, 0, 0, 0, 1, C},                         // movs.w r0, r1, rrx
      {0xEA5F2031, 0, 0x80, 0, 0, 0, 0x80000000, N | C},         // movs.w r0, r1, ror #8
      {0xEA4F1041, 0, 0x0F000001, 0, 0, 0, 0xE0000020, 0},       // lsl.w r0, r1, #5
      {0xEA110042, 0, 0xFFFFFFFF, 0x80000001, 0, 0, 2, C},       // ands.w r0, r1, r2, lsl #1
      {0xEA610002, 0, 0, 0xFFFFFF00, 0, 0, 0xFF, 0},             // orn r0, r1, r2
      {0xEA6F1001, 0, 1, 0, 0, 0, 0xFFFFFFEF, 0},                // mvn.w r0, r1, lsl #4
      {0xEA900F01, 7, 7, 0, N, 0, 7, Z},                         // teq r0, r1
      {0xEA100F51, 1, 3, 0, 0, 0, 1, C},                         // tst.w r0, r1, lsr #1
      {0xEBB00F81, 8, 2, 0, 0, 0, 8, Z | C},                     // cmp.w r0, r1, lsl #2
      {0xEB100F01, 0x7FFFFFFF, 1, 0, 0, 0, 0x7FFFFFFF, N | V},   // cmn.w r0, r1
      {0xEB710002, 0, 5, 5, 0, 0, 0xFFFFFFFF, N},                // sbcs.w r0, r1, r2
      {0xEB410002, 0, 5, 5, C, 0, 11, C},                        // adc.w r0, r1, r2
      {0xEBC10042, 0, 1, 3, 0, 0, 5, 0},                         // rsb r0, r1, r2, lsl #1
      {0xEA2100A2, 0, 0xFF, 0xFFFFFFC0, 0, 0, 0x0F, 0},          // bic.w r0, r1, r2, asr #2
      {0xEA811032, 0, 0, 0x12345678, 0, 0, 0x81234567, 0},       // eor.w r0, r1, r2, ror #4
  });
}

TEST(ThumbDataProcessing, EncodingsTheCoreRefusesAreUndefined) {
  const std::uint32_t refused[] = {
      0x44FF,      // add pc, pc
      0x4501,      // cmp r1, r0 in the high-register form
      0x45F8,      // cmp r8, pc
      0xF0010D04,  // and sp, r1, #4
      0xF1010D04,  // add.w sp, r1, #4
      0xF10F0004,  // add.w r0, pc, #4
      0xF04F1000,  // mov.w with a repeated pattern of a zero byte
      0xF0E10000,  // opcode 0111 with an immediate
      0xEAC10002,  // pkhbt r0, r1, r2
      0xEA418002,  // orr.w r0, r1, r2 with bit 15 of the second halfword set
      0xEB010D02,  // add.w sp, r1, r2
      0xEBAD1D01,  // sub.w sp, sp, r1, lsl #4
      0xEA4F0D0D,  // mov.w sp, sp
      0xEA5F0D00,  // movs.w sp, r0
      0xEB0F0001,  // add.w r0, pc, r1
      0xEB4D0002,  // adc.w r0, sp, r2
      0xEA1D0F01,  // tst.w sp, r1
      0xEBB00F0F,  // cmp.w r0, pc
      0xEA4F004F,  // mov.w r0, pc, lsl #1
  };
  for (std::uint32_t insn : refused) {
    Harness h;
    if (insn > 0xFFFFu) {
      h.code({static_cast<std::uint16_t>(insn >> 16), static_cast<std::uint16_t>(insn)});
    } else {
      h.code({static_cast<std::uint16_t>(insn)});
    }
    EXPECT_EQ(h.step(), Interpreter::Exit::Fault) << std::hex << insn;
    EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: undefined instruction") << std::hex << insn;
  }
}

}  // namespace
