// Loads and stores on the interpreter: each addressing form reaching the
// right bytes and leaving the base as the form says, the multiples' order
// and writeback, interworking loads of the PC, the exclusive monitor, table
// branches, faults that leave registers alone, and the encodings the core
// refuses.
#include <gtest/gtest.h>

#include <initializer_list>

#include "interpreter_harness.h"

namespace {

using sim::thumb::Interpreter;
using thumb_test::Harness;
using thumb_test::kFlash;
using thumb_test::kPeripherals;
using thumb_test::kRam;

constexpr std::uint32_t kCode = kFlash + 0x100u;
constexpr std::uint32_t kData = kRam + 0x100u;

// Every RAM word holds its own address.
void fillWithAddresses(Harness& h) {
  for (std::uint32_t a = kRam; a < kRam + 0x4000u; a += 4) h.setWord(a, a);
}

TEST(ThumbLoadStore, NarrowFormsMoveOnlyTheirBytesAndExtendAsTheySay) {
  Harness h;
  // str r1,[r0,r2]; ldrsb r3,[r0,r2]; ldrsh r4,[r0,r2]; ldrh r5,[r0,r2]; ldrb r6,[r0,r2]; ldr r7,[r0,r2]
  h.code({0x5081, 0x5683, 0x5E84, 0x5A85, 0x5C86, 0x5887});
  h.cpu->setR(0, kData);
  h.cpu->setR(1, 0x1234F680u);
  h.cpu->setR(2, 4);
  ASSERT_EQ(h.step(6), Interpreter::Exit::Limit);
  EXPECT_EQ(h.word(kData + 4), 0x1234F680u);
  EXPECT_EQ(h.cpu->r(3), 0xFFFFFF80u);
  EXPECT_EQ(h.cpu->r(4), 0xFFFFF680u);
  EXPECT_EQ(h.cpu->r(5), 0xF680u);
  EXPECT_EQ(h.cpu->r(6), 0x80u);
  EXPECT_EQ(h.cpu->r(7), 0x1234F680u);

  // Immediate offsets scale with the size; byte and halfword stores leave
  // the rest of the word.
  h.setWord(kData + 0x1C, 0xAAAAAAAAu);
  h.setWord(kData + 0x3C, 0xAAAAAAAAu);
  // strb r1,[r0,#31]; strh r1,[r0,#62]; str r1,[r0,#124]; ldr r3,[r0,#124]; ldrb r4,[r0,#31]; ldrh r5,[r0,#62]
  h.code({0x77C1, 0x87C1, 0x67C1, 0x6FC3, 0x7FC4, 0x8FC5});
  ASSERT_EQ(h.step(6), Interpreter::Exit::Limit);
  EXPECT_EQ(h.word(kData + 0x1C), 0x80AAAAAAu);
  EXPECT_EQ(h.word(kData + 0x3C), 0xF680AAAAu);
  EXPECT_EQ(h.word(kData + 0x7C), 0x1234F680u);
  EXPECT_EQ(h.cpu->r(3), 0x1234F680u);
  EXPECT_EQ(h.cpu->r(4), 0x80u);
  EXPECT_EQ(h.cpu->r(5), 0xF680u);

  // The wide forms: ldrsb.w r1,[r0,#3]; ldrsh.w r2,[r0,#2]; ldrb.w r3,[r0,#1];
  // ldrh.w r4,[r0,#2]; strb.w r1,[r0,#4095]; strh.w r2,[r6,#-1]!;
  // ldrsh.w r5,[r6,#-2]!; ldrsb.w r8,[r6],#1
  h.setWord(kData, 0x80FF7F01u);
  h.setWord(kData + 0x40, 0);
  h.cpu->setR(6, kData + 0x41);
  h.code({0xF990, 0x1003, 0xF9B0, 0x2002, 0xF890, 0x3001, 0xF8B0, 0x4002, 0xF880, 0x1FFF, 0xF826, 0x2D01,
          0xF936, 0x5D02, 0xF916, 0x8B01});
  ASSERT_EQ(h.step(8), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(1), 0xFFFFFF80u);
  EXPECT_EQ(h.cpu->r(2), 0xFFFF80FFu);
  EXPECT_EQ(h.cpu->r(3), 0x7Fu);
  EXPECT_EQ(h.cpu->r(4), 0x80FFu);
  EXPECT_EQ(h.ram[0x100 + 4095], 0x80u);
  EXPECT_EQ(h.word(kData + 0x40), 0x80FFu);
  EXPECT_EQ(h.cpu->r(5), 0xFFFFF680u);  // the strh.w r1 above, at kData + 0x3E
  EXPECT_EQ(h.cpu->r(8), 0xFFFFFF80u);
  EXPECT_EQ(h.cpu->r(6), kData + 0x3F);
}

TEST(ThumbLoadStore, WordsAtAnyAlignmentSpRelativeAndLiterals) {
  Harness h;
  // str r1,[r0,#4]; ldr r3,[r0,#4] on an odd base; str r1,[sp,#1020]; ldr r4,[sp,#1020]
  h.code({0x6041, 0x6843, 0x91FF, 0x9CFF});
  h.cpu->setR(0, kData + 1);
  h.cpu->setR(1, 0x11223344u);
  h.cpu->setR(13, kData + 0x800);
  ASSERT_EQ(h.step(4), Interpreter::Exit::Limit);
  EXPECT_EQ(h.ram[0x105], 0x44u);
  EXPECT_EQ(h.ram[0x108], 0x11u);
  EXPECT_EQ(h.cpu->r(3), 0x11223344u);
  EXPECT_EQ(h.word(kData + 0x800 + 1020), 0x11223344u);
  EXPECT_EQ(h.cpu->r(4), 0x11223344u);

  // Literals count from the PC rounded down to a word: ldr r5,[pc,#4] at a
  // word and ldr r6,[pc,#0] two bytes past it.
  h.code({0x4D01, 0x4E00, 0x2222, 0x3333, 0x5678, 0x1234});
  ASSERT_EQ(h.step(2), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(5), 0x12345678u);
  EXPECT_EQ(h.cpu->r(6), 0x33332222u);

  // ldr.w r1,[pc,#-8]; ldrsb.w r2,[pc,#-3] (the high byte of its own first halfword)
  h.code({0xBEEF, 0xDEAD}, kCode + 0x1C);
  h.code({0xF85F, 0x1008, 0xF91F, 0x2003}, kCode + 0x20);
  ASSERT_EQ(h.step(2), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(1), 0xDEADBEEFu);
  EXPECT_EQ(h.cpu->r(2), 0xFFFFFFF9u);
}

// A word of the literal pool in flash is read when its load is first
// decoded: the same seen through the alias at 0, read anew once flash
// changes (a new image), and a literal past the end of flash still faults.
TEST(ThumbLoadStore, LiteralWordsInFlashFollowTheImage) {
  Harness h;
  h.code({0x4D00, 0xBF00, 0x5678, 0x1234});  // ldr r5,[pc,#0]; nop; the word
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(5), 0x12345678u);
  h.cpu->setR(5, 0);
  h.cpu->setPc(kCode - thumb_test::kFlash);
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(5), 0x12345678u);
  h.code({0x4D00, 0xBF00, 0x0001, 0x0002});
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(5), 0x00020001u);

  const std::uint32_t last = thumb_test::kFlash + static_cast<std::uint32_t>(h.flash.size()) - 4;
  h.code({0xF8DF, 0x1FFF}, last);  // ldr.w r1,[pc,#4095]
  h.cpu->setPc(last);
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "bus fault: read where no memory answers");
}

TEST(ThumbLoadStore, WideOffsetsIndexingAndWritebackMoveTheBaseAsTheFormSays) {
  Harness h;
  fillWithAddresses(h);
  h.code({
      0xF8D2, 0x1FFC,  // ldr.w r1,[r2,#4092]
      0xF852, 0x3CFC,  // ldr.w r3,[r2,#-252]
      0xF852, 0x4D04,  // ldr.w r4,[r2,#-4]!
      0xF852, 0x5B08,  // ldr.w r5,[r2],#8
      0xF847, 0x1F08,  // str.w r1,[r7,#8]!
      0xF846, 0x3908,  // str.w r3,[r6],#-8
      0xF850, 0x8029,  // ldr.w r8,[r0,r9,lsl #2]
      0xF840, 0xA039,  // str.w r10,[r0,r9,lsl #3]
      0xF850, 0xBE04,  // ldrt r11,[r0,#4]
      0xF840, 0xBE08,  // strt r11,[r0,#8]
  });
  h.cpu->setR(0, kData);
  h.cpu->setR(2, kRam + 0x300);
  h.cpu->setR(6, kRam + 0x700);
  h.cpu->setR(7, kRam + 0x600);
  h.cpu->setR(9, 3);
  h.cpu->setR(10, 0xCAFEF00Du);
  ASSERT_EQ(h.step(10), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(1), kRam + 0x12FCu);
  EXPECT_EQ(h.cpu->r(3), kRam + 0x204u);
  EXPECT_EQ(h.cpu->r(4), kRam + 0x2FCu);
  EXPECT_EQ(h.cpu->r(5), kRam + 0x2FCu);
  EXPECT_EQ(h.cpu->r(2), kRam + 0x304u);
  EXPECT_EQ(h.word(kRam + 0x608), kRam + 0x12FCu);
  EXPECT_EQ(h.cpu->r(7), kRam + 0x608u);
  EXPECT_EQ(h.word(kRam + 0x700), kRam + 0x204u);
  EXPECT_EQ(h.cpu->r(6), kRam + 0x6F8u);
  EXPECT_EQ(h.cpu->r(8), kData + 12);
  EXPECT_EQ(h.word(kData + 24), 0xCAFEF00Du);
  EXPECT_EQ(h.cpu->r(11), kData + 4);
  EXPECT_EQ(h.word(kData + 8), kData + 4);
  EXPECT_EQ(h.cpu->r(0), kData);
}

TEST(ThumbLoadStore, MultiplesKeepRegisterOrderAndWriteBackUnlessTheBaseIsLoaded) {
  Harness h;
  h.code({0xB583});  // push {r0,r1,r7,lr}
  for (unsigned r : {0u, 1u, 7u, 14u}) h.cpu->setR(r, 0x100u + r);
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(13), kRam + 0x3FF0u);
  EXPECT_EQ(h.word(kRam + 0x3FF0), 0x100u);
  EXPECT_EQ(h.word(kRam + 0x3FF4), 0x101u);
  EXPECT_EQ(h.word(kRam + 0x3FF8), 0x107u);
  EXPECT_EQ(h.word(kRam + 0x3FFC), 0x10Eu);
  h.code({0xBC0C});  // pop {r2,r3}
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(2), 0x100u);
  EXPECT_EQ(h.cpu->r(3), 0x101u);
  EXPECT_EQ(h.cpu->r(13), kRam + 0x3FF8u);

  // push.w {r4-r11,lr}, then pop.w {r4-r11,pc} brings them back and returns.
  for (unsigned r = 4; r <= 11; ++r) h.cpu->setR(r, 0x200u + r);
  h.cpu->setR(14, kCode + 0x41);
  h.code({0xE92D, 0x4FF0});
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(13), kRam + 0x3FF8u - 36);
  for (unsigned r = 4; r <= 11; ++r) h.cpu->setR(r, 0);
  h.code({0xE8BD, 0x8FF0});
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  for (unsigned r = 4; r <= 11; ++r) EXPECT_EQ(h.cpu->r(r), 0x200u + r) << r;
  EXPECT_EQ(h.cpu->pc(), kCode + 0x40);
  EXPECT_EQ(h.cpu->r(13), kRam + 0x3FF8u);

  // stmia r0!,{r1,r2,r3}; ldmia r4!,{r5,r6,r7}; ldmia r1,{r0,r1,r2}: the
  // loaded base wins over writeback.
  h.cpu->setR(0, kData);
  h.cpu->setR(1, kData + 4);
  h.cpu->setR(2, 0x22);
  h.cpu->setR(3, 0x33);
  h.cpu->setR(4, kData);
  h.code({0xC00E, 0xCCE0, 0xC907});
  ASSERT_EQ(h.step(3), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(4), kData + 12);
  EXPECT_EQ(h.cpu->r(5), kData + 4);
  EXPECT_EQ(h.cpu->r(6), 0x22u);
  EXPECT_EQ(h.cpu->r(7), 0x33u);
  EXPECT_EQ(h.cpu->r(0), 0x22u);
  EXPECT_EQ(h.cpu->r(1), 0x33u);

  // stmdb r0!,{r1,r2}; ldmdb r3!,{r4,r5}; ldmia.w r6,{r6,r7}
  h.cpu->setR(0, kData + 0x40);
  h.cpu->setR(1, 0xA1);
  h.cpu->setR(2, 0xA2);
  h.cpu->setR(3, kData + 0x40);
  h.cpu->setR(6, kData + 0x38);
  h.code({0xE920, 0x0006, 0xE933, 0x0030, 0xE896, 0x00C0});
  ASSERT_EQ(h.step(3), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(0), kData + 0x38);
  EXPECT_EQ(h.word(kData + 0x38), 0xA1u);
  EXPECT_EQ(h.word(kData + 0x3C), 0xA2u);
  EXPECT_EQ(h.cpu->r(3), kData + 0x38);
  EXPECT_EQ(h.cpu->r(4), 0xA1u);
  EXPECT_EQ(h.cpu->r(5), 0xA2u);
  EXPECT_EQ(h.cpu->r(6), 0xA1u);
  EXPECT_EQ(h.cpu->r(7), 0xA2u);
}

TEST(ThumbLoadStore, LoadsOfThePcInterworkAndReturnFromExceptions) {
  Harness h;
  h.setWord(kData + 8, kCode + 0x41);
  h.cpu->setR(0, kData);
  h.cpu->setR(1, 2);
  h.code({0xF850, 0xF021});  // ldr.w pc,[r0,r1,lsl #2]
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->pc(), kCode + 0x40);

  h.setWord(kData, kCode + 0x41);
  h.cpu->setR(13, kData);
  h.code({0xF85D, 0xFB04});  // ldr pc,[sp],#4
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->pc(), kCode + 0x40);
  EXPECT_EQ(h.cpu->r(13), kData + 4);

  h.setWord(kData + 4, 0xFFFFFFF9u);
  h.code({0xBD00});  // pop {pc}
  EXPECT_EQ(h.step(), Interpreter::Exit::ExceptionReturn);
  EXPECT_EQ(h.cpu->excReturn(), 0xFFFFFFF9u);
  EXPECT_EQ(h.cpu->r(13), kData + 8);

  h.setWord(kData + 8, kCode + 0x40);  // no Thumb bit
  h.code({0xBD00});
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);

  h.cpu->setR(1, 1);
  h.cpu->setR(0, kData + 2);
  h.code({0xF850, 0xF001});  // ldr.w pc,[r0,r1]
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: unaligned access");
  EXPECT_EQ(h.cpu->faultInfo().address, kData + 3);
}

TEST(ThumbLoadStore, PairsMoveTwoWordsFromWordAlignedAddressesOnly) {
  Harness h;
  h.code({
      0xE9E0, 0x2302,  // strd r2,r3,[r0,#8]!
      0xE8F0, 0x4504,  // ldrd r4,r5,[r0],#16
      0xE941, 0x4502,  // strd r4,r5,[r1,#-8]
      0xE9DF, 0x6700,  // ldrd r6,r7,[pc]
      0x1111, 0x2222, 0x3333, 0x4444,
  });
  h.cpu->setR(0, kData);
  h.cpu->setR(1, kData + 0x408);
  h.cpu->setR(2, 0x12);
  h.cpu->setR(3, 0x13);
  ASSERT_EQ(h.step(4), Interpreter::Exit::Limit);
  EXPECT_EQ(h.word(kData + 8), 0x12u);
  EXPECT_EQ(h.word(kData + 12), 0x13u);
  EXPECT_EQ(h.cpu->r(4), 0x12u);
  EXPECT_EQ(h.cpu->r(5), 0x13u);
  EXPECT_EQ(h.cpu->r(0), kData + 24);
  EXPECT_EQ(h.word(kData + 0x400), 0x12u);
  EXPECT_EQ(h.word(kData + 0x404), 0x13u);
  EXPECT_EQ(h.cpu->r(6), 0x22221111u);
  EXPECT_EQ(h.cpu->r(7), 0x44443333u);

  h.cpu->setR(0, kData + 2);
  h.code({0xE9D0, 0x2300});  // ldrd r2,r3,[r0]
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: unaligned access");
  EXPECT_EQ(h.cpu->r(2), 0x12u);
}

TEST(ThumbLoadStore, StoreExclusiveSucceedsOnlyOnceAfterALoadExclusiveOfTheSameAddress) {
  Harness h;
  h.setWord(kData + 4, 0x11);
  h.cpu->setR(0, kData);
  h.cpu->setR(3, 0x33);
  h.cpu->setR(5, 0x55);
  // ldrex r1,[r0,#4]; strex r2,r3,[r0,#4]; strex r4,r5,[r0,#4]
  h.code({0xE850, 0x1F01, 0xE840, 0x3201, 0xE840, 0x5401});
  ASSERT_EQ(h.step(3), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(1), 0x11u);
  EXPECT_EQ(h.cpu->r(2), 0u);
  EXPECT_EQ(h.cpu->r(4), 1u);
  EXPECT_EQ(h.word(kData + 4), 0x33u);

  // ldrex r1,[r0]; strex r2,r3,[r0,#4]: another address.
  h.code({0xE850, 0x1F00, 0xE840, 0x3201});
  ASSERT_EQ(h.step(2), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(2), 1u);
  EXPECT_EQ(h.word(kData + 4), 0x33u);

  // ldrexb r1,[r0]; strexb r2,r3,[r0]; ldrexh r1,[r0]; strexh r4,r5,[r0]
  h.setWord(kData, 0xAABBCCDDu);
  h.code({0xE8D0, 0x1F4F, 0xE8C0, 0x3F42, 0xE8D0, 0x1F5F, 0xE8C0, 0x5F54});
  ASSERT_EQ(h.step(4), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->r(1), 0xCC33u);
  EXPECT_EQ(h.cpu->r(2), 0u);
  EXPECT_EQ(h.cpu->r(4), 0u);
  EXPECT_EQ(h.word(kData), 0xAABB0055u);

  h.cpu->setR(0, kData + 1);
  h.code({0xE8D0, 0x1F5F});  // ldrexh r1,[r0]
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: unaligned access");
}

TEST(ThumbLoadStore, TableBranchesJumpForwardByTwiceTheEntry) {
  Harness h;
  h.cpu->setR(1, 1);
  h.code({0xE8DF, 0xF001, 0x0502});  // tbb [pc,r1]; bytes 2, 5
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->pc(), kCode + 4 + 10);

  h.code({0xE8DF, 0xF011, 0x0002, 0x0100});  // tbh [pc,r1,lsl #1]
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->pc(), kCode + 4 + 0x200);

  h.ram[0x100 + 1] = 0xFF;
  h.cpu->setR(0, kData);
  h.code({0xE8D0, 0xF001});  // tbb [r0,r1]
  ASSERT_EQ(h.step(), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->pc(), kCode + 4 + 0x1FE);
}

TEST(ThumbLoadStore, PreloadHintsTouchNothing) {
  Harness h;
  h.cpu->setR(0, 0x30000000u);  // nothing answers there
  // pld [r0,#64]; pld [r0,r1]; pli [r0,#-4]
  h.code({0xF890, 0xF040, 0xF810, 0xF001, 0xF910, 0xFC04});
  EXPECT_EQ(h.step(3), Interpreter::Exit::Limit);
  EXPECT_EQ(h.cpu->pc(), kCode + 12);
}

TEST(ThumbLoadStore, FaultsLeaveTheDestinationAndTheBaseAsTheyWere) {
  Harness h;
  h.cpu->setR(0, 0x30000000u);
  h.cpu->setR(3, 0x1234);
  h.code({0x6803});  // ldr r3,[r0]
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "bus fault: read where no memory answers");
  EXPECT_EQ(h.cpu->r(3), 0x1234u);

  h.cpu->setR(2, 0x30000004u);
  h.code({0xF852, 0x4D04});  // ldr.w r4,[r2,#-4]!
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->r(2), 0x30000004u);

  h.cpu->setR(0, kFlash);
  h.code({0x6001});  // str r1,[r0]
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "bus fault: write to flash");

  // pop {r0,r1} with the second word past the end of RAM.
  h.cpu->setR(13, kRam + 0x3FFC);
  h.code({0xBC03});
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->r(13), kRam + 0x3FFCu);

  h.cpu->setR(0, kData + 2);
  h.code({0xC802});  // ldmia r0!,{r1}
  EXPECT_EQ(h.step(), Interpreter::Exit::Fault);
  EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: unaligned access");
  EXPECT_EQ(h.cpu->r(0), kData + 2);
}

TEST(ThumbLoadStore, PeripheralRegistersSeeTheAccessSizeAndOnlyTheStoredBytes) {
  Harness h;
  h.cpu->setR(0, kPeripherals);
  h.cpu->setR(1, 0x12345678u);
  h.code({0x7041, 0x8041, 0x8842});  // strb r1,[r0,#1]; strh r1,[r0,#2]; ldrh r2,[r0,#2]
  ASSERT_EQ(h.step(3), Interpreter::Exit::Limit);
  ASSERT_EQ(h.log.size(), 3u);
  EXPECT_TRUE(h.log[0].write);
  EXPECT_EQ(h.log[0].address, kPeripherals + 1);
  EXPECT_EQ(h.log[0].size, 1u);
  EXPECT_EQ(h.log[0].value, 0x78u);
  EXPECT_EQ(h.log[1].size, 2u);
  EXPECT_EQ(h.log[1].value, 0x5678u);
  EXPECT_FALSE(h.log[2].write);
  EXPECT_EQ(h.log[2].size, 2u);
  EXPECT_EQ(h.cpu->r(2), 0x5678u);
}

TEST(ThumbLoadStore, UndefinedAndUnpredictableEncodingsAreRefused) {
  const std::initializer_list<std::uint16_t> refused[] = {
      {0xB400},          // push {}
      {0xBC00},          // pop {}
      {0xC000},          // stmia r0!,{}
      {0xC800},          // ldmia r0,{}
      {0xF852, 0x2F04},  // ldr.w r2,[r2,#4]!: writeback to the loaded register
      {0xF842, 0x2B04},  // str.w r2,[r2],#4
      {0xF8C0, 0xF004},  // str.w pc,[r0,#4]
      {0xF890, 0xD001},  // ldrb.w sp,[r0,#1]
      {0xF880, 0xF001},  // strb.w pc,[r0,#1]
      {0xF8CF, 0x1004},  // str.w r1,[pc,#4]
      {0xF852, 0x1A04},  // ldr.w with neither index nor writeback
      {0xF850, 0x100D},  // ldr.w r1,[r0,sp]
      {0xF850, 0x1040},  // register offset with stray bits
      {0xF940, 0x1004},  // a signed store
      {0xF9D0, 0x1004},  // a signed word
      {0xF8F0, 0x1004},  // size 3
      {0xF850, 0xDE04},  // ldrt sp,[r0,#4]
      {0xE890, 0x0002},  // ldmia.w r0,{r1}: one register
      {0xE92D, 0x2002},  // stmdb sp!,{r1,sp}
      {0xE8BD, 0xC000},  // pop.w {lr,pc}
      {0xE880, 0x8002},  // stmia.w r0,{r1,pc}
      {0xE8B0, 0x0003},  // ldmia.w r0!,{r0,r1}
      {0xE89F, 0x0003},  // ldmia.w pc,{r0,r1}
      {0xE810, 0xC000},  // a return-from-exception form
      {0xE9D0, 0x2200},  // ldrd r2,r2,[r0]
      {0xE8F0, 0x0102},  // ldrd r0,r1,[r0],#8
      {0xE9D0, 0xD100},  // ldrd sp,r1,[r0]
      {0xE9CF, 0x2300},  // strd r2,r3,[pc]
      {0xE9FF, 0x2302},  // ldrd r2,r3,[pc,#8]!
      {0xE841, 0x0000},  // strex r0,r0,[r1]
      {0xE850, 0xDF00},  // ldrex sp,[r0]
      {0xE85F, 0x1F00},  // ldrex r1,[pc]
      {0xE8DD, 0xF001},  // tbb [sp,r1]
      {0xE8DF, 0xF10D},  // tbb with stray bits
      {0xE8D0, 0xF00D},  // tbb [r0,sp]
      {0xE8D0, 0x1F6F},  // an unallocated exclusive form
  };
  for (const auto& halfwords : refused) {
    Harness h;
    h.code(halfwords);
    EXPECT_EQ(h.step(), Interpreter::Exit::Fault) << std::hex << *halfwords.begin();
    EXPECT_EQ(h.cpu->faultInfo().what, "usage fault: undefined instruction") << std::hex << *halfwords.begin();
  }
}

}  // namespace
