// Reading board images: what is loaded into flash, and files refused with a
// reason rather than loaded half or read out of bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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
  EXPECT_THAT(reason(elf(0x20000000u)), HasSubstr("16 bytes to load at 0x20000000, in the chip's RAM: loaded bytes go into flash"));
  // Where the chip has nothing, said so, not taken for a large image.
  std::string nowhere = reason(elf(0xF0000000u));
  EXPECT_THAT(nowhere, HasSubstr("at 0xF0000000, where the chip has no memory"));
  EXPECT_THAT(nowhere, ::testing::Not(HasSubstr("larger than flash")));
  EXPECT_THAT(reason(elf(0x08000000u, 0x30000000u)), HasSubstr("initial stack pointer"));
  EXPECT_THAT(reason(elf(0x08000000u, 0x20004000u, 0x08000008u)), HasSubstr("not Thumb code"));

  auto beyond = elf();
  put32(beyond, 56, 0x7FFFFFF0u);  // segment data past the end of the file
  EXPECT_THAT(reason(beyond), HasSubstr("truncated ELF file: the file ends (at byte 100) before the end of load segment 0"));
  auto headersBeyond = elf();
  put16(headersBeyond, 44, 3);  // three program headers where there is room for one
  EXPECT_THAT(reason(headersBeyond), HasSubstr("before the end of the program headers"));
}

// A second load segment after the first one's: `size` bytes loaded at
// `paddr`, `memsz` bytes of memory at `vaddr`.
std::vector<std::uint8_t> withSecondSegment(std::uint32_t paddr, std::uint32_t vaddr, std::uint32_t size,
                                            std::uint32_t memsz) {
  auto b = elf();
  std::vector<std::uint8_t> header(32, 0);
  b.insert(b.begin() + 84, header.begin(), header.end());
  put32(b, 28, 52);
  put16(b, 44, 2);
  put32(b, 56, 84 + 32);  // the first segment's bytes moved on
  put32(b, 84, 1);
  put32(b, 88, 84 + 32);
  put32(b, 92, vaddr);
  put32(b, 96, paddr);
  put32(b, 100, size);
  put32(b, 104, memsz);
  return b;
}

TEST(ImageLoader, LoadSegmentsMustLieInTheChipsMemoriesWithoutOverlapping) {
  auto reason = [](const std::vector<std::uint8_t>& bytes) {
    try {
      sim::parseImage(bytes, "x.elf");
    } catch (const sim::ImageError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  // .data after the code in flash, copied to RAM, with its .bss: as the linker lays it out.
  EXPECT_EQ(reason(withSecondSegment(0x08000010u, 0x20000000u, 8, 0x100)), "accepted");
  // Loaded twice over the same flash, or into the same RAM.
  EXPECT_THAT(reason(withSecondSegment(0x08000008u, 0x08000008u, 8, 8)),
              HasSubstr("load segments 0 and 1 overlap at 0x08000008"));
  EXPECT_THAT(reason(withSecondSegment(0x08000010u, 0x08000004u, 8, 8)), HasSubstr("overlap at 0x08000004"));
  // Memory beyond the chip's RAM (a .bss too large), or nowhere.
  EXPECT_THAT(reason(withSecondSegment(0x08000010u, 0x20000000u, 8, 0x8000)),
              HasSubstr("32768 bytes of memory at 0x20000000 do not fit the chip's RAM"));
  EXPECT_THAT(reason(withSecondSegment(0x08000010u, 0x40000000u, 0, 16)),
              HasSubstr("at 0x40000000, where the chip has no memory"));
  EXPECT_THAT(reason(withSecondSegment(0x08000010u, 0x20000000u, 8, 4)), HasSubstr("more bytes in the file"));
}

TEST(ImageLoader, AStackPointerNearTheStartOfRamGivesAStackInsideRam) {
  // The start-up fill writes the whole stack: it must not start below RAM.
  sim::BoardImage image = sim::parseImage(elf(0x08000000u, 0x20000100u), "low.elf");
  EXPECT_EQ(image.stackTop, 0x20000100u);
  EXPECT_EQ(image.stackBottom, 0x20000000u);
}

// Files that are no image are refused without waiting on them or reading
// them whole.
class ImageFiles : public ::testing::Test {
 protected:
  ImageFiles() {
    char pattern[] = "/tmp/tl500-image-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~ImageFiles() override { std::filesystem::remove_all(dir_); }
  static std::string refusal(const std::string& path) {
    try {
      sim::loadImage(path);
    } catch (const sim::ImageError& e) {
      return e.what();
    }
    return "accepted";
  }
  std::string dir_;
};

TEST_F(ImageFiles, ADirectoryAFifoAndADeviceAreRefusedAtOnce) {
  EXPECT_THAT(refusal(dir_), HasSubstr(dir_ + " is a directory"));
  std::string fifo = dir_ + "/image.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THAT(refusal(fifo), HasSubstr("is not a regular file"));  // no writer: opening it used to wait for one
  EXPECT_THAT(refusal("/dev/zero"), HasSubstr("is not a regular file"));
  EXPECT_THAT(refusal(dir_ + "/none.elf"), HasSubstr("cannot open image"));
}

TEST_F(ImageFiles, AHugeSparseFileIsReadOnlyWhereItsHeadersPoint) {
  std::string path = dir_ + "/sparse.elf";
  {
    auto bytes = elf();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // 64 GiB, nearly all of it a hole: reading it whole would never end.
  if (truncate(path.c_str(), std::int64_t{64} << 30) != 0) GTEST_SKIP() << "no sparse files here";
  sim::BoardImage image = sim::loadImage(path);
  EXPECT_EQ(image.word(8), 0xE7FEE7FEu);
  EXPECT_EQ(image.path, path);
}

TEST(ImageLoader, EveryTruncationOfAnImageIsRefusedWithoutReadingPastIt) {
  auto whole = elf();
  for (std::size_t n = 0; n < whole.size(); ++n) {
    std::vector<std::uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(sim::parseImage(part, "cut.elf"), sim::ImageError) << "cut at " << n;
  }
}

}  // namespace
