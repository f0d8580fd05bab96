// The straight-code program of the image benchmark and the runs that set the
// emulated core beside QEMU: the work computes what CRC-32 and its own
// self-checks say it must, both emulators hand back the host's checksum, and
// a QEMU run that goes wrong is reported as an error, never as a figure.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "qemu_run.h"
#include "straight_code/work.h"
#include "straight_code_run.h"

namespace {

constexpr std::uint32_t kShortRounds = 8;  // bench/straight_code/CMakeLists.txt

std::vector<std::uint8_t> pseudoRandomBytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 23);
  }
  return bytes;
}

TEST(StraightCodeWork, BothCrcsGiveTheCheckValueAndAgreeOnAnyBuffer) {
  const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
  EXPECT_EQ(straight_code_crc_bitwise(digits, 9), STRAIGHT_CODE_CRC_CHECK);
  EXPECT_EQ(straight_code_crc_table(digits, 9), STRAIGHT_CODE_CRC_CHECK);
  EXPECT_EQ(straight_code_crc_bitwise(digits, 0), 0u);
  EXPECT_EQ(straight_code_crc_table(digits, 0), 0u);
  for (std::uint32_t seed : {1u, 77u, 4096u}) {
    std::vector<std::uint8_t> bytes = pseudoRandomBytes(1000, seed);
    std::uint32_t crc = straight_code_crc_bitwise(bytes.data(), 1000);
    EXPECT_EQ(straight_code_crc_table(bytes.data(), 1000), crc) << "seed " << seed;
    bytes[500] ^= 0x10;
    EXPECT_NE(straight_code_crc_table(bytes.data(), 1000), crc) << "one bit flipped, seed " << seed;
  }
}

TEST(StraightCodeWork, EveryRoundChangesTheChecksumAndTheSameRoundsGiveTheSameOne) {
  straight_code_result none = straight_code_work(0), one = straight_code_work(1), eight = straight_code_work(8);
  EXPECT_EQ(none.failures + one.failures + eight.failures, 0u);
  EXPECT_NE(none.checksum, one.checksum);
  EXPECT_NE(one.checksum, eight.checksum);
  // No state of one run leaks into the next.
  straight_code_result again = straight_code_work(8);
  EXPECT_EQ(again.checksum, eight.checksum);
  EXPECT_EQ(again.failures, 0u);
}

TEST(GdbRemoteFraming, AFrameCarriesItsByteSumModulo256AndComesBackWhole) {
  EXPECT_EQ(bench::gdbFrame("?"), "$?#3f");
  EXPECT_EQ(bench::gdbFrame("c"), "$c#63");
  EXPECT_EQ(bench::gdbFrame(""), "$#00");
  // 0x1ff: the sum wraps.
  EXPECT_EQ(bench::gdbFrame(std::string(3, '\xAA') + "\x11"), std::string("$") + std::string(3, '\xAA') + "\x11#0f");
  for (std::string payload : {"m20000c08,c", "T05thread:01;", "Z0,438,2", "OK"}) {
    EXPECT_EQ(bench::gdbUnframe(bench::gdbFrame(payload)), payload);
  }
  EXPECT_EQ(bench::gdbUnframe("$OK#9A"), "OK");  // either case of hex digits
}

TEST(GdbRemoteFraming, ADamagedOrIncompleteFrameIsRefused) {
  EXPECT_EQ(bench::gdbUnframe("$OK#9b"), std::nullopt);   // wrong sum
  EXPECT_EQ(bench::gdbUnframe("$OJ#9a"), std::nullopt);   // a byte changed on the way
  EXPECT_EQ(bench::gdbUnframe("$OK#9"), std::nullopt);    // cut short
  EXPECT_EQ(bench::gdbUnframe("OK#9a"), std::nullopt);    // no start
  EXPECT_EQ(bench::gdbUnframe("$OK#zz"), std::nullopt);   // no hex sum
  EXPECT_EQ(bench::gdbUnframe(""), std::nullopt);
}

TEST(GdbRemoteFraming, AMemoryReplyGivesItsBytesAndAnErrorReplyNone) {
  EXPECT_EQ(bench::gdbHexBytes("7569a821"), (std::vector<std::uint8_t>{0x75, 0x69, 0xA8, 0x21}));
  EXPECT_EQ(bench::gdbHexBytes("FF00"), (std::vector<std::uint8_t>{0xFF, 0x00}));
  EXPECT_EQ(bench::gdbHexBytes("E14"), std::nullopt);  // the stub's error reply
  EXPECT_EQ(bench::gdbHexBytes("0g"), std::nullopt);
}

TEST(FindOnPath, FindsARunnableProgramAndNothingElse) {
  std::optional<std::string> sh = bench::findOnPath("sh");
  ASSERT_TRUE(sh.has_value());
  EXPECT_EQ(sh->substr(sh->size() - 3), "/sh");
  EXPECT_EQ(bench::findOnPath(*sh), sh);
  EXPECT_EQ(bench::findOnPath("tl500-no-such-program"), std::nullopt);
  EXPECT_EQ(bench::findOnPath(""), std::nullopt);
  EXPECT_EQ(bench::findOnPath("/tmp"), std::nullopt);  // a directory
}

// The short program of the target build, 8 rounds: on the core, on QEMU.
class StraightCodeRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = bench::straightCodeFiles(TL500_STRAIGHT_CODE_DIR, "straight_code_short");
    try {
      image_ = sim::loadImage(files_.board);
    } catch (const sim::ImageError& e) {
      GTEST_SKIP() << e.what() << ": build the target preset first";
    }
    host_ = bench::runOnHost(kShortRounds);
  }
  // QEMU, or skips the test.
  std::string qemu() {
    std::optional<std::string> path = bench::findOnPath("qemu-system-arm");
    if (!path) return {};
    return *path;
  }

  bench::StraightCodeFiles files_;
  sim::BoardImage image_;
  bench::StraightCodeResult host_;
};

TEST_F(StraightCodeRuns, TheEmulatedCoreHandsBackTheHostsChecksumAndExitsCleanly) {
  bench::StraightCodeResult core = bench::runOnCore(image_);
  EXPECT_EQ(core.exitStatus, 0);
  EXPECT_EQ(core.failures, 0u);
  EXPECT_EQ(core.rounds, kShortRounds);
  EXPECT_EQ(core.checksum, host_.checksum);
  // About 52,000 instructions a round.
  EXPECT_GT(core.instructions, kShortRounds * 40'000u);
  EXPECT_LT(core.instructions, kShortRounds * 70'000u);
}

TEST_F(StraightCodeRuns, QemuHandsBackTheHostsChecksumAndExitsCleanly) {
  std::string path = qemu();
  if (path.empty()) GTEST_SKIP() << "qemu-system-arm is not on PATH";
  bench::StraightCodeResult other = bench::runOnQemu(path, files_.qemu, image_);
  EXPECT_EQ(other.exitStatus, 0);
  EXPECT_EQ(other.failures, 0u);
  EXPECT_EQ(other.rounds, kShortRounds);
  EXPECT_EQ(other.checksum, host_.checksum);
  EXPECT_GT(other.cpuSeconds, 0.0);
}

TEST_F(StraightCodeRuns, AQemuRunThatNeverStopsWhereAskedIsAnErrorNotAResult) {
  std::string path = qemu();
  if (path.empty()) GTEST_SKIP() << "qemu-system-arm is not on PATH";
  bench::QemuRequest request;
  request.qemu = path;
  request.elf = files_.qemu;
  request.stopAt = 0x1000;  // past the program's code: never run
  request.readAt = 0x20000000;
  request.readSize = 4;
  try {
    bench::runQemu(request);
    FAIL() << "a run that ended without stopping gave a result";
  } catch (const bench::QemuError& e) {
    EXPECT_NE(std::string(e.what()).find("without reaching 0x1000"), std::string::npos) << e.what();
  }
  // The board's link has its code where QEMU's machine has none.
  request.elf = files_.board;
  request.stopAt = 0x438;
  EXPECT_THROW(bench::runQemu(request), bench::QemuError);
}

TEST_F(StraightCodeRuns, AFileQemuCannotLoadIsAnErrorWithQemusReason) {
  std::string path = qemu();
  if (path.empty()) GTEST_SKIP() << "qemu-system-arm is not on PATH";
  bench::QemuRequest request;
  request.qemu = path;
  request.elf = std::string(TL500_STRAIGHT_CODE_DIR) + "/no-such-program.elf";
  request.readSize = 4;
  EXPECT_THROW(bench::runQemu(request), bench::QemuError);
  // A file QEMU reads but cannot boot: QEMU's own message is passed on.
  request.elf = "/dev/null";
  try {
    bench::runQemu(request);
    FAIL() << "an empty program gave a result";
  } catch (const bench::QemuError& e) {
    EXPECT_NE(std::string(e.what()).find("QEMU said"), std::string::npos) << e.what();
  }
}

}  // namespace
