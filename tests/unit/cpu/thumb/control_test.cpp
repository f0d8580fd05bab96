// Branches and control on the interpreter: where branches go, the IT block,
// the special registers as MRS and MSR see them, the instructions that stop
// the run, and the encodings that must be refused.
#include <gtest/gtest.h>

#include <cstdint>

#include "interpreter_harness.h"
#include "sim/cpu/thumb/alu.h"

namespace {

using sim::thumb::Interpreter;
using thumb_test::Harness;
using thumb_test::kFlash;
using thumb_test::kRam;

constexpr std::uint32_t kAt = kFlash + 0x100u;  // where the harness puts code

// One instruction: a 16-bit one, or the two halfwords of a 32-bit one.
struct Insn {
  std::uint16_t first;
  std::uint16_t second = 0;
};

void place(Harness& h, Insn insn) {
  if (sim::thumb::isWide(insn.first)) {
    h.code({insn.first, insn.second});
  } else {
    h.code({insn.first});
  }
}

TEST(ThumbBranches, EveryFormReachesItsTargetFromAnyAddress) {
  struct Case {
    const char* what;
    Insn insn;
    std::uint32_t target;
  };
  const Case cases[] = {
      {"b.n forward", {0xE002}, kAt + 8},
      {"b.n back", {0xE7FC}, kAt - 4},
      {"b.w far forward", {0xF123, 0xBA29}, kAt + 0x123456u},
      {"b.w to the end of its range back", {0xF7FF, 0x9FFE}, kAt - 0x800000u},
      {"bl back", {0xF7BF, 0xFFFE}, kAt - 0x40000u},
      {"bl forward with I1 and I2 set", {0xF3FE, 0xD7FE}, kAt + 0xFFF000u},
      {"bl forward with I1 set only", {0xF3FF, 0xFFFE}, kAt + 0x400000u},
      {"bl forward with I2 set only", {0xF3FE, 0xF7FE}, kAt + 0x7FF000u},
      {"bl far back", {0xF400, 0xF7FE}, kAt - 0x7FF000u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (std::uint32_t base : {kAt, kAt - kFlash}) {  // flash is also seen at 0
      Harness h;
      place(h, c.insn);
      h.cpu->setPc(base);
      EXPECT_EQ(h.step(), Interpreter::Exit::Limit);
      EXPECT_EQ(h.cpu->pc(), c.target - kAt + base);
    }
  }
}

TEST(ThumbBranches, ConditionsFollowTheFlagsOfAComparison) {
  // Flags as CMP x, y leaves them; each condition must agree with the
  // comparison it stands for, in the 16-bit and the 32-bit form.
  const std::int32_t pairs[][2] = {{5, 3}, {3, 5}, {-1, 1}, {1, -1}, {INT32_MIN, 1}, {7, 7}, {INT32_MAX, -1}, {0, 0}};
  Harness h;
  for (const auto& p : pairs) {
    const auto x = static_cast<std::uint32_t>(p[0]);
    const auto y = static_cast<std::uint32_t>(p[1]);
    const auto r = sim::thumb::addWithCarry(x, ~y, 1);
    const std::int64_t exact = std::int64_t{p[0]} - p[1];
    const bool expected[14] = {
        x == y, x != y, x >= y, x < y, static_cast<std::int32_t>(r.value) < 0, static_cast<std::int32_t>(r.value) >= 0,
        exact != static_cast<std::int32_t>(r.value), exact == static_cast<std::int32_t>(r.value),
        x > y, x <= y, p[0] >= p[1], p[0] < p[1], p[0] > p[1], p[0] <= p[1],
    };
    for (unsigned cond = 0; cond < 14; ++cond) {
      SCOPED_TRACE(testing::Message() << "cmp " << p[0] << ", " << p[1] << "; condition " << cond);
      const std::uint32_t flags = std::uint32_t{static_cast<std::uint32_t>(r.value >> 31)} << 31 |
                                  std::uint32_t{r.value == 0} << 30 | std::uint32_t{r.carry} << 29 |
                                  std::uint32_t{r.overflow} << 28;
      // B<cond>.N .+8 and B<cond>.W .+0x1004.
      place(h, {static_cast<std::uint16_t>(0xD002u | cond << 8)});
      h.cpu->setApsr(flags);
      h.step();
      EXPECT_EQ(h.cpu->pc(), expected[cond] ? kAt + 8 : kAt + 2);
      place(h, {static_cast<std::uint16_t>(0xF000u | cond << 6 | 1u), 0x8000});
      h.cpu->setApsr(flags);
      h.step();
      EXPECT_EQ(h.cpu->pc(), expected[cond] ? kAt + 0x1004u : kAt + 4);
      EXPECT_EQ(h.cpu->apsr(), flags);  // a branch leaves the flags alone
    }
  }
}

TEST(ThumbBranches, ConditionalOffsetsAtTheirLimits) {
  struct Case {
    const char* what;
    Insn insn;
    std::uint32_t flags;  // ones under which the branch is taken
    std::uint32_t target;
  };
  const Case cases[] = {
      {"beq.n forward", {0xD07E}, 0x40000000u, kAt + 0x100u},
      {"bne.n to the end of its range back", {0xD180}, 0, kAt - 0xFCu},
      {"bgt.w to the end of its range forward", {0xF33F, 0xAFFD}, 0x90000000u, kAt + 0xFFFFEu},
      {"blt.w far back", {0xF6C0, 0x8000}, 0x10000000u, kAt - 0xFFFFCu},
      {"bmi.w forward", {0xF100, 0x87FE}, 0x80000000u, kAt + 0x1000u},
      {"bpl.w back", {0xF57E, 0xAFFE}, 0x70000000u, kAt - 0x1000u},
      {"bne.w back with J1 set, J2 clear", {0xF47F, 0xA7FE}, 0, kAt - 0x80000u},
      {"bcs.w forward with J1 set, J2 clear", {0xF0BF, 0xA7FE}, 0x20000000u, kAt + 0x80000u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    place(h, c.insn);
    h.cpu->setApsr(c.flags);
    h.step();
    EXPECT_EQ(h.cpu->pc(), c.target) << std::hex << h.cpu->pc();
  }
}

TEST(ThumbBranches, BranchWithLinkLeavesTheReturnAddressWithTheThumbBit) {
  Harness h;
  h.code({0xF7BF, 0xFFFE});  // bl .-0x40000
  h.step();
  EXPECT_EQ(h.cpu->regs[14], (kAt + 4) | 1u);
  h.code({0x4798});  // blx r3
  h.cpu->regs[3] = kFlash + 0x201u;
  h.step();
  EXPECT_EQ(h.cpu->pc(), kFlash + 0x200u);
  EXPECT_EQ(h.cpu->regs[14], (kAt + 2) | 1u);
  h.code({0x47F0});  // blx lr: the old LR is the target
  h.cpu->regs[14] = kFlash + 0x301u;
  h.step();
  EXPECT_EQ(h.cpu->pc(), kFlash + 0x300u);
  EXPECT_EQ(h.cpu->regs[14], (kAt + 2) | 1u);
}

TEST(ThumbBranches, CompareAndBranchTestsTheRegisterAgainstZero) {
  Harness h;
  for (std::uint32_t value : {0u, 1u, 0x80000000u}) {
    h.code({0xB3FB});  // cbz r3, .+130
    h.cpu->regs[3] = value;
    h.cpu->setApsr(0x40000000u);  // Z set: the flags play no part
    h.step();
    EXPECT_EQ(h.cpu->pc(), value == 0 ? kAt + 130 : kAt + 2);
    h.code({0xB907});  // cbnz r7, .+4
    h.cpu->regs[7] = value;
    h.step();
    EXPECT_EQ(h.cpu->pc(), value != 0 ? kAt + 4 : kAt + 2);
    EXPECT_EQ(h.cpu->apsr(), 0x40000000u);
  }
}

TEST(ThumbBranches, BranchAndExchangeNeedsTheThumbBitAndEndsOnAnExceptionReturn) {
  Harness h;
  h.code({0x4770});  // bx lr
  h.cpu->regs[14] = kFlash + 0x401u;
  EXPECT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->pc(), kFlash + 0x400u);

  h.code({0x4770});
  h.cpu->regs[14] = 0xFFFFFFF9u;
  EXPECT_EQ(h.step(), Interpreter::Exit::ExceptionReturn);
  EXPECT_EQ(h.cpu->excReturn(), 0xFFFFFFF9u);

  h.code({0x4770});
  h.cpu->regs[14] = kFlash + 0x400u;
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().pc, kAt);
  EXPECT_EQ(h.cpu->faultInfo().address, kFlash + 0x400u);

  h.code({0x4798});  // blx r3 to an even address
  h.cpu->regs[3] = kFlash + 0x200u;
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: branch to an address without the Thumb bit (invalid state)");
}

// MRS r1/r2/r3, PRIMASK: each writes 1 when it runs, so the registers show
// which instructions of a block ran.
constexpr std::uint16_t kMrsR1[2] = {0xF3EF, 0x8110};
constexpr std::uint16_t kMrsR2[2] = {0xF3EF, 0x8210};
constexpr std::uint16_t kMrsR3[2] = {0xF3EF, 0x8310};

TEST(ThumbItBlock, ThenAndElseInstructionsRunOnTheirConditions) {
  struct Case {
    const char* what;
    std::uint16_t it;
    std::uint32_t flags;
    bool ran[3];
  };
  const Case cases[] = {
      {"itte eq with Z set", 0xBF06, 0x40000000u, {true, true, false}},
      {"itte eq with Z clear", 0xBF06, 0, {false, false, true}},
      {"itet ge with N == V", 0xBFAA, 0x90000000u, {true, false, true}},
      {"itet ge with N != V", 0xBFAA, 0x80000000u, {false, true, false}},
      {"ittt hi with C set, Z clear", 0xBF82, 0x20000000u, {true, true, true}},
      {"ittt hi with C and Z set", 0xBF82, 0x60000000u, {false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.code({c.it, kMrsR1[0], kMrsR1[1], kMrsR2[0], kMrsR2[1], kMrsR3[0], kMrsR3[1]});
    h.cpu->primask = true;
    h.cpu->setApsr(c.flags);
    h.step();
    EXPECT_NE(h.cpu->itState(), 0u);
    h.step(3);
    EXPECT_EQ(h.cpu->regs[1], c.ran[0] ? 1u : 0u);
    EXPECT_EQ(h.cpu->regs[2], c.ran[1] ? 1u : 0u);
    EXPECT_EQ(h.cpu->regs[3], c.ran[2] ? 1u : 0u);
    EXPECT_EQ(h.cpu->count, 4u);  // skipped instructions count too
    EXPECT_EQ(h.cpu->itState(), 0u);
    EXPECT_EQ(h.cpu->pc(), kAt + 14);
  }
}

TEST(ThumbItBlock, ABlockEndsAfterItsLengthAndItsStateIsNotVisibleToMrs) {
  Harness h;
  // it ne; mrs r1, primask; mrs r2, primask (after the block: runs whatever Z)
  h.code({0xBF18, kMrsR1[0], kMrsR1[1], kMrsR2[0], kMrsR2[1]});
  h.cpu->primask = true;
  h.cpu->setApsr(0x40000000u);
  h.step(3);
  EXPECT_EQ(h.cpu->regs[1], 0u);
  EXPECT_EQ(h.cpu->regs[2], 1u);

  // itt eq; mrs r2, epsr; mrs r3, xpsr: the IT bits read as zero.
  h.code({0xBF04, 0xF3EF, 0x8206, 0xF3EF, 0x8303});
  h.cpu->regs[2] = h.cpu->regs[3] = 0xAAAAAAAAu;
  h.step(3);
  EXPECT_EQ(h.cpu->regs[2], 0u);
  EXPECT_EQ(h.cpu->regs[3], 0x40000000u);

  // it eq; b.w far: the branch, last in its block, is skipped with Z clear.
  h.code({0xBF08, 0xF123, 0xBA29});
  h.cpu->setApsr(0);
  h.step(2);
  EXPECT_EQ(h.cpu->pc(), kAt + 6);
}

TEST(ThumbItBlock, BranchesOnlyLastAndSomeInstructionsNeverWhateverTheCondition) {
  struct Case {
    const char* what;
    std::uint16_t it;
    Insn insn;  // the block's first instruction
    const char* fault;  // null: it runs (or is skipped) as the block says
  };
  constexpr const char* kNever = "usage fault: instruction not allowed in an IT block";
  constexpr const char* kNotLast = "usage fault: branch in an IT block before its last instruction";
  const Case cases[] = {
      {"b.n last in its block", 0xBF08, {0xE002}, nullptr},
      {"b.n before the last", 0xBF04, {0xE002}, kNotLast},
      {"bl before the last", 0xBF04, {0xF000, 0xF802}, kNotLast},
      {"bx lr before the last", 0xBF04, {0x4770}, kNotLast},
      {"pop {pc} before the last", 0xBF04, {0xBD00}, kNotLast},
      {"ldr pc, [sp] before the last", 0xBF04, {0xF8DD, 0xF000}, kNotLast},
      {"mov pc, r0 before the last", 0xBF04, {0x4687}, kNotLast},
      {"tbb before the last", 0xBF04, {0xE8D0, 0xF001}, kNotLast},
      {"cbz", 0xBF08, {0xB100}, kNever},
      {"b<cond>", 0xBF08, {0xD000}, kNever},
      {"b<cond>.w", 0xBF08, {0xF000, 0x8000}, kNever},
      {"it", 0xBF08, {0xBF08}, kNever},
      {"cpsid i", 0xBF08, {0xB672}, kNever},
      {"svc before the last", 0xBF04, {0xDF00}, nullptr},
      {"msr primask before the last", 0xBF04, {0xF380, 0x8810}, nullptr},
      {"ldr r0, [sp] before the last", 0xBF04, {0x9800}, nullptr},
  };
  for (const Case& c : cases) {
    for (std::uint32_t flags : {0x40000000u, 0u}) {  // the block's condition passes and fails
      SCOPED_TRACE(testing::Message() << c.what << (flags != 0 ? ", condition passing" : ", condition failing"));
      Harness h;
      // The block, its first instruction, and a NOP after a 16-bit one.
      h.code({c.it, c.insn.first, sim::thumb::isWide(c.insn.first) ? c.insn.second : std::uint16_t{0xBF00}});
      h.cpu->regs[13] = kRam + 0x100u;
      h.cpu->regs[0] = kAt + 1;
      h.setWord(kRam + 0x100u, kAt + 1);
      h.cpu->setApsr(flags);
      h.step();
      const Interpreter::Exit exit = h.step();
      if (c.fault != nullptr) {
        EXPECT_EQ(exit, Interpreter::Exit::Fault);
        EXPECT_EQ(h.cpu->faultInfo().what, c.fault);
        EXPECT_EQ(h.cpu->faultInfo().pc, kAt + 2);
        EXPECT_EQ(h.cpu->itState(), 0u);
      } else {
        EXPECT_NE(exit, Interpreter::Exit::Fault) << h.cpu->faultInfo().what;
      }
    }
  }

  // bkpt runs in a block whose condition fails: it eq; bkpt with Z clear.
  Harness h;
  h.code({0xBF08, 0xBE01});
  h.cpu->setApsr(0);
  h.step();
  EXPECT_EQ(h.step(), Interpreter::Exit::Breakpoint);
  EXPECT_EQ(h.cpu->pc(), kAt + 2);
}

TEST(ThumbItBlock, HintsLookLikeItWithoutAMaskAndDoNothing) {
  const Insn hints[] = {
      {0xBF00}, {0xBF10}, {0xBF20}, {0xBF30}, {0xBF40}, {0xBF70},  // nop yield wfe wfi sev, an unallocated hint
      {0xF3AF, 0x8000}, {0xF3AF, 0x8001}, {0xF3AF, 0x8002}, {0xF3AF, 0x8003}, {0xF3AF, 0x8004}, {0xF3AF, 0x80F5},
      {0xF3BF, 0x8F4F}, {0xF3BF, 0x8F5B}, {0xF3BF, 0x8F6F},  // dsb sy, dmb ish, isb sy
  };
  for (const Insn& insn : hints) {
    SCOPED_TRACE(testing::Message() << std::hex << insn.first << " " << insn.second);
    Harness h;
    place(h, insn);
    h.cpu->setApsr(0xA8000000u);
    h.cpu->exclusiveOpen = true;
    EXPECT_EQ(h.step(), Interpreter::Exit::Limit);
    EXPECT_EQ(h.cpu->pc(), kAt + (sim::thumb::isWide(insn.first) ? 4u : 2u));
    EXPECT_EQ(h.cpu->itState(), 0u);
    EXPECT_EQ(h.cpu->apsr(), 0xA8000000u);
    EXPECT_TRUE(h.cpu->exclusiveOpen);
    EXPECT_FALSE(h.cpu->primask);
  }
  Harness h;
  h.code({0xF3BF, 0x8F2F});  // clrex
  h.cpu->exclusiveOpen = true;
  h.step();
  EXPECT_FALSE(h.cpu->exclusiveOpen);
}

TEST(ThumbSpecialRegisters, StatusRegisterViewsAndTheFlags) {
  Harness h;
  // msr apsr_nzcvq, r1; mrs r0, apsr
  h.code({0xF381, 0x8800, 0xF3EF, 0x8000});
  h.cpu->regs[1] = 0xFFFFFFFFu;
  h.step(2);
  EXPECT_EQ(h.cpu->regs[0], 0xF8000000u);
  EXPECT_EQ(h.cpu->flagN + h.cpu->flagZ + h.cpu->flagC + h.cpu->flagV + h.cpu->flagQ, 5);
  h.code({0xF381, 0x8800});
  h.cpu->regs[1] = 0x07FFFFFFu;
  h.step();
  EXPECT_EQ(h.cpu->apsr(), 0u);

  // In an exception handler (11, SVCall) with N and C set, each view shows
  // its part: APSR 0, IAPSR 1, EAPSR 2, XPSR 3, IPSR 5, EPSR 6, IEPSR 7.
  const std::uint32_t expected[8] = {0xA0000000u, 0xA000000Bu, 0xA0000000u, 0xA000000Bu, 0, 0xBu, 0, 0xBu};
  for (std::uint16_t sysm : {0, 1, 2, 3, 5, 6, 7}) {
    h.code({0xF3EF, static_cast<std::uint16_t>(0x8400u | sysm)});  // mrs r4, <sysm>
    h.cpu->ipsr = 11;
    h.cpu->setApsr(0xA0000000u);
    h.step();
    EXPECT_EQ(h.cpu->regs[4], expected[sysm]) << sysm;
  }

  // msr ipsr, r0 and msr iapsr, r0: the exception number is not written.
  h.code({0xF380, 0x8805, 0xF380, 0x8801});
  h.cpu->regs[0] = 0xF0000003u;
  h.step(2);
  EXPECT_EQ(h.cpu->ipsr, 11u);
  EXPECT_EQ(h.cpu->apsr(), 0xF0000000u);
}

TEST(ThumbSpecialRegisters, StackPointersAndMasks) {
  Harness h;
  // msr msp, r9; mrs r6, msp; msr psp, r5; mrs r7, psp
  h.code({0xF389, 0x8808, 0xF3EF, 0x8608, 0xF385, 0x8809, 0xF3EF, 0x8709});
  h.cpu->regs[9] = kRam + 0x1003u;
  h.cpu->regs[5] = kRam + 0x2006u;
  h.step(4);
  EXPECT_EQ(h.cpu->regs[13], kRam + 0x1000u);
  EXPECT_EQ(h.cpu->regs[6], kRam + 0x1000u);
  EXPECT_EQ(h.cpu->psp, kRam + 0x2004u);
  EXPECT_EQ(h.cpu->regs[7], kRam + 0x2004u);

  // msr primask, r0; mrs r1, primask; cpsie i; mrs r2, primask
  h.code({0xF380, 0x8810, 0xF3EF, 0x8110, 0xB662, 0xF3EF, 0x8210});
  h.cpu->regs[0] = 3;
  h.step(2);
  EXPECT_TRUE(h.cpu->primask);
  EXPECT_EQ(h.cpu->regs[1], 1u);
  h.step(2);
  EXPECT_FALSE(h.cpu->primask);
  EXPECT_EQ(h.cpu->regs[2], 0u);
  h.code({0xB672});  // cpsid i
  h.step();
  EXPECT_TRUE(h.cpu->primask);

  // msr basepri, r1; mrs r8, basepri: the lower four priority bits are not
  // implemented.
  h.code({0xF381, 0x8811, 0xF3EF, 0x8811});
  h.cpu->regs[1] = 0x1C5u;
  h.step(2);
  EXPECT_EQ(h.cpu->basepri, 0xC0u);
  EXPECT_EQ(h.cpu->regs[8], 0xC0u);
}

TEST(ThumbSpecialRegisters, BasepriMaxOnlyRaisesTheMaskingPriority) {
  struct Case {
    std::uint8_t before;
    std::uint32_t written;
    std::uint8_t after;
  };
  const Case cases[] = {
      {0x40, 0x60, 0x40},  // a lower priority: kept
      {0x40, 0x20, 0x20},  // a higher one: taken
      {0x40, 0x00, 0x40},  // zero never clears it
      {0x40, 0x0F, 0x40},  // nothing in the implemented bits
      {0x00, 0x80, 0x80},  // none set: any nonzero value
  };
  for (const Case& c : cases) {
    Harness h;
    h.code({0xF382, 0x8812, 0xF3EF, 0x8312});  // msr basepri_max, r2; mrs r3, basepri_max
    h.cpu->basepri = c.before;
    h.cpu->regs[2] = c.written;
    h.step(2);
    EXPECT_EQ(h.cpu->basepri, c.after) << int{c.before} << " " << c.written;
    EXPECT_EQ(h.cpu->regs[3], c.after);
  }
}

TEST(ThumbSpecialRegisters, FaultmaskCannotBeRaisedFromHardFaultOrNmi) {
  for (std::uint32_t exception : {0u, 2u, 3u, 11u}) {
    SCOPED_TRACE(exception);
    const bool raisable = exception != 2 && exception != 3;
    Harness h;
    h.cpu->ipsr = exception;
    h.code({0xB671});  // cpsid f
    h.step();
    EXPECT_EQ(h.cpu->faultmask, raisable);
    h.cpu->faultmask = true;
    h.code({0xB661});  // cpsie f
    h.step();
    EXPECT_FALSE(h.cpu->faultmask);
    h.code({0xF383, 0x8813, 0xF3EF, 0x8513});  // msr faultmask, r3; mrs r5, faultmask
    h.cpu->regs[3] = 1;
    h.step(2);
    EXPECT_EQ(h.cpu->faultmask, raisable);
    EXPECT_EQ(h.cpu->regs[5], raisable ? 1u : 0u);
    EXPECT_FALSE(h.cpu->primask);
  }
}

TEST(ThumbSpecialRegisters, ControlKeepsPrivilegeAndRefusesTheProcessStack) {
  Harness h;
  h.code({0xF384, 0x8814});  // msr control, r4
  h.cpu->regs[4] = 2;
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: the process stack is not modelled on this core");
  EXPECT_EQ(h.cpu->control, 0u);

  // In Handler mode the stack selection is not written: no fault.
  h.code({0xF384, 0x8814});
  h.cpu->ipsr = 15;
  EXPECT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->control, 0u);

  // Unprivileged Thread mode: masks and stack pointers ignore writes, the
  // stack pointers read as zero, the flags and CONTROL still work.
  h.cpu->ipsr = 0;
  h.code({0xF384, 0x8814, 0xF3EF, 0x8614, 0xF380, 0x8810, 0xB672, 0xF389, 0x8808, 0xF381, 0x8800, 0xF3EF, 0x8708});
  h.cpu->regs[4] = 1;
  h.cpu->regs[0] = 1;
  h.cpu->regs[9] = kRam;
  h.cpu->regs[1] = 0x80000000u;
  h.cpu->regs[7] = 0xAAAAAAAAu;
  const std::uint32_t sp = h.cpu->regs[13];
  h.step(7);
  EXPECT_EQ(h.cpu->control, 1u);
  EXPECT_EQ(h.cpu->regs[6], 1u);
  EXPECT_EQ(h.cpu->regs[7], 0u);
  EXPECT_FALSE(h.cpu->primask);
  EXPECT_EQ(h.cpu->regs[13], sp);
  EXPECT_EQ(h.cpu->apsr(), 0x80000000u);
}

TEST(ThumbControl, SupervisorCallsAndBreakpointsEndTheRun) {
  Harness h;
  h.code({0xDF05});  // svc 5
  EXPECT_EQ(h.step(10), Interpreter::Exit::SupervisorCall);
  EXPECT_EQ(h.cpu->pc(), kAt + 2);
  EXPECT_EQ(h.cpu->count, 1u);

  h.code({0xBE03});  // bkpt 3
  EXPECT_EQ(h.step(10), Interpreter::Exit::Breakpoint);
  EXPECT_EQ(h.cpu->pc(), kAt);
}

TEST(ThumbControl, UndefinedAndUnpredictableEncodingsFault) {
  const Insn refused[] = {
      {0xDE00},          // udf
      {0xF7F0, 0xA000},  // udf.w
      {0x4701},          // bx r0 with the low bits set
      {0x47F8},          // blx pc
      {0xBFF8},          // it with condition 1111
      {0xBFEC},          // ite al
      {0xB660},          // cps without i or f
      {0xB676},          // cps with the a bit
      {0xB650},          // setend
      {0xB800},          // unallocated
      {0xF000, 0xE800},  // blx to an immediate
      {0xF380, 0x8010},  // msr with no mask
      {0xF380, 0x8400},  // msr apsr_g
      {0xF380, 0x8C00},  // msr apsr_nzcvqg
      {0xF38D, 0x8810},  // msr primask, sp
      {0xF380, 0x8804},  // msr to special register 4
      {0xF380, 0x880A},  // msr to special register 10
      {0xF390, 0x8810},  // msr with a must-be-zero bit set
      {0xF3EF, 0x8D10},  // mrs sp, primask
      {0xF3EF, 0x8F10},  // mrs pc, primask
      {0xF3EF, 0x8015},  // mrs from special register 21
      {0xF3E0, 0x8010},  // mrs with must-be-one bits clear
      {0xF3AF, 0x8100},  // cps.w
      {0xF3BF, 0x8F0F},  // unallocated barrier
      {0xF3BF, 0x8F3F},  // unallocated barrier
      {0xF3BF, 0x804F},  // dsb with must-be-one bits clear
  };
  for (const Insn& insn : refused) {
    SCOPED_TRACE(testing::Message() << std::hex << insn.first << " " << insn.second);
    Harness h;
    place(h, insn);
    EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
    EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: undefined instruction");
    EXPECT_EQ(h.cpu->pc(), kAt);
  }
}

}  // namespace
