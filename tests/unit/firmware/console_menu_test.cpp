// The console menu the sensor tests run: the frame around a test's lines, the
// echo of each key, the menu again after every key, and the way out.
#include "console_menu.h"

#include <gtest/gtest.h>

#include <string>

#include "firmware_board.h"

extern "C" int tl500_printf(const char* format, ...);

namespace {

const std::string kMenu =
    "\r\n---------------------\r\nPress menu key\r\n---------------------\r\n"
    "A> first\r\nB> second\r\n"
    "---------------------\r\nx> quit\r\n\r\n";

void print_lines() {
  tl500_printf("A> first\n");
  tl500_printf("B> second\n");
}

// What the handlers were given, in order.
struct Seen {
  std::string keys;
};

bool note_key(void* state, std::uint8_t key) {
  static_cast<Seen*>(state)->keys.push_back(static_cast<char>(key));
  tl500_printf("handled %c\n", key);
  return false;
}

// Key 's' streams until the quit key, taking the keys itself, as the motion
// sensor's stream does.
bool stream_on_s(void* state, std::uint8_t key) {
  static_cast<Seen*>(state)->keys.push_back(static_cast<char>(key));
  if (key != 's') return false;
  for (;;) {
    if (!UartQueue_Serial_Is_Empty() && ConsoleMenu_Take_Key() == kQuitKey) return true;
    Platform_IdleHint();
  }
}

struct MenuBoard : FirmwareBoard {
  void queue(const char* keys) {
    for (const char* k = keys; *k != '\0'; ++k) UartQueue_Serial_EnQueue(static_cast<std::uint8_t>(*k));
  }

  // Runs `run` and returns what it printed on the console.
  template <typename Run>
  std::string printed(Run run) {
    std::size_t before = board.console().received().size();
    run();
    board.clock().advanceTo(now() + sim::milliseconds(2));  // the last bytes leave the USART
    return board.console().received().substr(before);
  }

  std::string rest() {
    std::string left;
    while (!UartQueue_Serial_Is_Empty()) left.push_back(static_cast<char>(UartQueue_Serial_DeQueue()));
    return left;
  }
};

std::string echo(char key) { return std::string(1, key) + " is selected\r\n\r\n"; }

TEST(ConsoleMenu, EachKeyIsEchoedHandedToTheTestAndFollowedByTheMenuUntilTheQuitKey) {
  MenuBoard b;
  Seen seen;
  b.queue("A?x9");
  std::string out = b.printed([&] { ConsoleMenu_Run<print_lines, note_key>(&seen); });
  EXPECT_EQ(out, kMenu + echo('A') + "handled A\r\n" + kMenu + echo('?') + "handled ?\r\n" + kMenu + echo('x') +
                     "handled x\r\n");
  // The quit key reaches the test too; keys after it stay for the main menu.
  EXPECT_EQ(seen.keys, "A?x");
  EXPECT_EQ(b.rest(), "9");
}

TEST(ConsoleMenu, EveryRunStartsWithTheMenuWhateverTheRunBeforeEndedWith) {
  MenuBoard b;
  Seen seen;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    b.queue("x");
    EXPECT_EQ(b.printed([&] { ConsoleMenu_Run<print_lines, note_key>(&seen); }), kMenu + echo('x') + "handled x\r\n");
  }
}

TEST(ConsoleMenu, KeysTypedLaterAreWaitedForWithoutPrintingTheMenuAgain) {
  MenuBoard b;
  Seen seen;
  b.board.console().send("Bx");  // arrive over the serial line while the menu waits
  std::string out = b.printed([&] { ConsoleMenu_Run<print_lines, note_key>(&seen); });
  EXPECT_EQ(out, kMenu + echo('B') + "handled B\r\n" + kMenu + echo('x') + "handled x\r\n");
  EXPECT_EQ(seen.keys, "Bx");
}

TEST(ConsoleMenu, AHandlerThatTookTheQuitKeyItselfEndsTheMenuWithoutPrintingItAgain) {
  MenuBoard b;
  Seen seen;
  b.queue("sAxB");
  std::string out = b.printed([&] { ConsoleMenu_Run<print_lines, stream_on_s>(&seen); });
  // Keys taken inside the handler are echoed but not handed to it.
  EXPECT_EQ(out, kMenu + echo('s') + echo('A') + echo('x'));
  EXPECT_EQ(seen.keys, "s");
  EXPECT_EQ(b.rest(), "B");
}

}  // namespace
