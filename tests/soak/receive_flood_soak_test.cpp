// Soak: random bytes of every value from the ZigBee peer at line rate while
// the main menu runs, and random keys on the console at line rate, for a long
// stretch of virtual time. Nothing may crash or hang, and every byte must be
// accounted for: taken and echoed by the firmware, or counted as dropped by a
// full receive queue (or by the USART as an overrun), or still queued when the
// run ends.
//
// TL500_SOAK_SECONDS sets the virtual time of the flood (default 30 s, the CI
// form; bench/soak.sh runs ten minutes).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/host/firmware_vectors.h"
#include "uart_queue.h"

int tl500_firmware_main();

namespace {

constexpr std::size_t kChunk = 64;
// Keys that would leave the main menu for good or for a test menu: the soak is
// of the main menu.
constexpr std::string_view kKeysNotSent = "56Ttx";

std::uint64_t count(const std::string& text, std::string_view what) {
  std::uint64_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::uint32_t queued(std::uint32_t head, std::uint32_t tail) {
  return (head + UART_QUEUE_SIZE - tail) % UART_QUEUE_SIZE;
}

double soakSeconds() {
  const char* env = std::getenv("TL500_SOAK_SECONDS");
  return env != nullptr ? std::atof(env) : 30.0;
}

struct Flood {
  sim::Board& board;
  sim::Time end;
  std::mt19937 random{20261207};
  std::uint64_t zigbeeSent = 0, consoleSent = 0;

  std::string bytes(bool keys) {
    std::string out;
    while (out.size() < kChunk) {
      char c = static_cast<char>(random() & 0xFF);
      if (keys && kKeysNotSent.find(c) != std::string_view::npos) continue;
      out.push_back(c);
    }
    return out;
  }

  // One chunk on each line, the next when this one has gone out.
  void next() {
    sim::Clock& clock = board.clock();
    if (clock.now() >= end) return;
    std::string peer = bytes(false), keys = bytes(true);
    board.zigbee().fromPeer(peer);
    board.console().send(keys);
    zigbeeSent += peer.size();
    consoleSent += keys.size();
    clock.at(board.console().sendDoneAt(), [this] { next(); });
  }
};

TEST(ReceiveFloodSoak, EveryByteFromThePeerAndTheConsoleIsEchoedOrCountedAsDropped) {
  sim::Board board{sim::BoardConfig{.crystal = true, .timing = {}, .vectors = sim::firmwareVectors()}};
  sim::Clock& clock = board.clock();
  const sim::Time start = sim::seconds(1);  // the main menu runs by then
  const sim::Time end = start + static_cast<sim::Time>(soakSeconds() * static_cast<double>(sim::kQuantaPerSecond));
  Flood flood{board, end};
  clock.at(start, [&] { flood.next(); });

  // After the flood the lines fall quiet; then the run ends, with whatever is
  // still queued counted as queued.
  clock.at(end + sim::milliseconds(100), [] { throw sim::Stop(sim::StopKind::Completed, "soak over"); });

  try {
    tl500_firmware_main();
    FAIL() << "main returned during the soak";
  } catch (const sim::Stop& stop) {
    ASSERT_EQ(stop.kind(), sim::StopKind::Completed) << stop.what();
  }

  const std::string& console = board.console().received();
  std::uint64_t keysEchoed = count(console, " is selected\r\n\r\n");
  std::uint64_t zigbeeEchoed = count(console, " is received\r\n\r\n");
  EXPECT_GT(flood.zigbeeSent, 0u);
  EXPECT_EQ(board.console().framingErrors(), 0u);
  EXPECT_EQ(board.zigbee().droppedFromPeer(), 0u);
  // At most one byte per line can have been taken and not yet echoed in full.
  std::uint64_t keysAccounted = keysEchoed + uart_queue_serial_dropped + board.usart1().overruns() +
                                queued(uart_queue_serial_point_head, uart_queue_serial_point_tail);
  std::uint64_t zigbeeAccounted = zigbeeEchoed + uart_queue_comm_dropped + board.usart3().overruns() +
                                  queued(uart_queue_comm_point_head, uart_queue_comm_point_tail);
  EXPECT_LE(keysAccounted, flood.consoleSent);
  EXPECT_LE(flood.consoleSent - keysAccounted, 1u)
      << keysEchoed << " keys echoed, " << uart_queue_serial_dropped << " dropped, " << board.usart1().overruns()
      << " overruns, of " << flood.consoleSent;
  EXPECT_LE(zigbeeAccounted, flood.zigbeeSent);
  EXPECT_LE(flood.zigbeeSent - zigbeeAccounted, 1u)
      << zigbeeEchoed << " ZigBee bytes echoed, " << uart_queue_comm_dropped << " dropped, "
      << board.usart3().overruns() << " overruns, of " << flood.zigbeeSent;
  std::printf(
      "soak: %.1f s of flood; console %llu sent, %llu echoed, %u dropped; ZigBee %llu sent, %llu echoed, %u dropped\n",
      sim::toSeconds(end - start), static_cast<unsigned long long>(flood.consoleSent),
      static_cast<unsigned long long>(keysEchoed), static_cast<unsigned>(uart_queue_serial_dropped),
      static_cast<unsigned long long>(flood.zigbeeSent), static_cast<unsigned long long>(zigbeeEchoed),
      static_cast<unsigned>(uart_queue_comm_dropped));
}

}  // namespace
