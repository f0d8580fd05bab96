// The sensor bus (I2C1) as a logic analyzer records it, decoded by standard
// logic-analyzer software: sigrok-cli's I2C decoder reads from the trace the
// same transactions the bus carried (START, address and direction, every
// byte with its acknowledge, STOP).
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "i2c_firmware_fixture.h"
#include "sim/trace/trace_signals.h"

namespace {

constexpr std::uint8_t kSlave = I2cFirmwareBoard::kChip << 1;

std::string hex(std::uint8_t value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

// The bus's own record in the decoder's words.
std::vector<std::string> describe(const std::vector<sim::I2cTransaction>& log) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const sim::I2cTransaction& t = log[i];
    bool repeated = i > 0 && log[i - 1].end == sim::I2cTransaction::End::RepeatedStart;
    lines.push_back(repeated ? "Start repeat" : "Start");
    lines.push_back(std::string(t.read ? "Address read: " : "Address write: ") + hex(t.address));
    lines.push_back(t.addressAcknowledged ? "ACK" : "NACK");
    for (const auto& byte : t.bytes) {
      lines.push_back(std::string(t.read ? "Data read: " : "Data write: ") + hex(byte.value));
      lines.push_back(byte.acknowledged ? "ACK" : "NACK");
    }
    if (t.end == sim::I2cTransaction::End::Stop) lines.push_back("Stop");
  }
  return lines;
}

std::vector<std::string> decode(const std::string& vcd) {
  std::string command =
      "sigrok-cli -i " + vcd +
      " -P i2c:scl=PB6_I2C1_SCL:sda=PB7_I2C1_SDA -A i2c=addr-data 2>&1";
  std::vector<std::string> lines;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    auto colon = line.find(": ");
    line = colon == std::string::npos ? line : line.substr(colon + 2);
    // The direction bit has its own annotation; the address line names it too.
    if (line != "Read" && line != "Write") lines.push_back(line);
  }
  pclose(pipe);
  return lines;
}

TEST(I2cTrace, SigrokDecodesFromTheTraceTheTransactionsTheBusCarried) {
  if (std::system("command -v sigrok-cli >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "sigrok-cli is not installed (tools/install-deps.sh installs it)";
  }
  I2cFirmwareBoard t;
  std::string path = ::testing::TempDir() + "tl500_i2c_" + std::to_string(getpid()) + ".vcd";
  std::string error;
  {
    sim::BoardTrace trace(t.board, path, *sim::selectTraceSignals("PB6,PB7", error));
    std::array<std::uint8_t, 3> write{0x10, 0x5A, 0xC3};
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, write.data(), 3, Polling, kSlave), Success);
    std::uint8_t reg = 0x20;
    ASSERT_EQ(I2C_Master_BufferWrite(I2C1, &reg, 1, Interrupt, kSlave), Success);
    std::array<std::uint8_t, 4> read{};
    ASSERT_EQ(I2C_Master_BufferRead(I2C1, read.data(), 4, Polling, kSlave), Success);
    // Nobody answers at 0x23: the address is not acknowledged.
    std::uint8_t none = 0;
    I2C_Master_BufferWrite(I2C1, &none, 1, Polling, 0x23 << 1);
    Delay(2);
    ASSERT_TRUE(trace.finish()) << trace.error();
  }
  std::vector<std::string> expected = describe(t.log);
  ASSERT_GE(t.log.size(), 4u);
  EXPECT_EQ(decode(path), expected);
  std::remove(path.c_str());
}

}  // namespace
