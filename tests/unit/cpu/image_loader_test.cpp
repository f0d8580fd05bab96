// Reading board images: what is loaded into flash, and files refused with a
// reason rather than loaded half or read out of bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/cpu/image_loader.h"

namespace {

using ::testing::HasSubstr;

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }

// An ELF executable with one segment: a vector table (SP, reset) and a few
// bytes of code, loaded at `address`.
std::vector<std::uint8_t> elf(std::uint32_t address = 0x08000000u, std::uint32_t sp = 0x20004000u,
                              std::uint32_t reset = 0x08000009u) {
  std::vector<std::uint8_t> b(52 + 32 + 16, 0);
  const std::uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::memcpy(b.data(), ident, sizeof ident);
  put16(b, 16, 2);   // executable
  put16(b, 18, 40);  // ARM
  put32(b, 20, 1);
  put32(b, 24, reset);
  put32(b, 28, 52);  // program headers
  put16(b, 40, 52);
  put16(b, 42, 32);
  put16(b, 44, 1);
  put16(b, 46, 40);
  put32(b, 52, 1);  // PT_LOAD
  put32(b, 56, 84);
  put32(b, 60, address);
  put32(b, 64, address);
  put32(b, 68, 16);
  put32(b, 72, 16);
  put32(b, 84, sp);
  put32(b, 88, reset);
  put32(b, 92, 0xE7FEE7FEu);  // b . ; b .
  return b;
}

TEST(ImageLoader, LoadsTheSegmentIntoFlashAndTakesTheStackFromTheVectorTable) {
  sim::BoardImage image = sim::parseImage(elf(), "good.elf");
  EXPECT_EQ(image.word(0), 0x20004000u);
  EXPECT_EQ(image.word(4), 0x08000009u);
  EXPECT_EQ(image.word(8), 0xE7FEE7FEu);
  EXPECT_EQ(image.flash[16], 0xFF);  // erased beyond the image
  EXPECT_EQ(image.flashUsed, 16u);
  EXPECT_EQ(image.stackTop, 0x20004000u);
  EXPECT_EQ(image.stackBottom, 0x20003C00u);
}

TEST(ImageLoader, RefusesFilesThatAreNoImageForThisBoard) {
  auto reason = [](const std::vector<std::uint8_t>& bytes) {
    try {
      sim::parseImage(bytes, "x.elf");
    } catch (const sim::ImageError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  std::vector<std::uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_THAT(reason(text), HasSubstr("not an ELF file"));

  auto other = elf();
  put16(other, 18, 62);  // x86-64
  EXPECT_THAT(reason(other), HasSubstr("another machine"));

  auto wide = elf();
  wide[4] = 2;  // 64-bit
  EXPECT_THAT(reason(wide), HasSubstr("32-bit"));

  EXPECT_THAT(reason(elf(0x0801FFF8u)), HasSubstr("larger than flash"));
  EXPECT_THAT(reason(elf(0x20000000u)), HasSubstr("do not fit the chip's flash"));
  EXPECT_THAT(reason(elf(0x08000000u, 0x30000000u)), HasSubstr("initial stack pointer"));
  EXPECT_THAT(reason(elf(0x08000000u, 0x20004000u, 0x08000008u)), HasSubstr("not Thumb code"));

  auto beyond = elf();
  put32(beyond, 56, 0x7FFFFFF0u);  // segment data past the end of the file
  EXPECT_THAT(reason(beyond), HasSubstr("truncated"));
}

TEST(ImageLoader, EveryTruncationOfAnImageIsRefusedWithoutReadingPastIt) {
  auto whole = elf();
  for (std::size_t n = 0; n < whole.size(); ++n) {
    std::vector<std::uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(sim::parseImage(part, "cut.elf"), sim::ImageError) << "cut at " << n;
  }
}

}  // namespace
