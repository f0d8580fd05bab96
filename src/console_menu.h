// The console menu every test runs: the test's own lines in the board's menu
// frame, printed on entry and again after every key, each key echoed and handed
// to the test, and the way back to the main menu on the quit key.
#pragma once

#include <cstdint>

#include "menu_keys.h"
#include "platform.h"
#include "uart_queue.h"

// Prints the test's own menu lines, the ones between the frame's rules.
using MenuLinesPrinter = void (*)();
// Acts on one key (the quit key too) with the test's state. Returns true when
// the handler has itself taken the quit key from the console: the test ends.
using MenuKeyHandler = bool (*)(void* state, std::uint8_t key);

// The frame above and below the test's lines.
void ConsoleMenu_Print_Head();
void ConsoleMenu_Print_Tail();

// Takes the next console key (the caller has checked that one waits) and
// echoes it as "<key> is selected" with an empty line.
std::uint8_t ConsoleMenu_Take_Key();

// Runs the menu until the quit key, idling while no key waits. The menu is
// printed on entry, so every run starts with it. The printer and the handler
// are fixed when the firmware is built, so every call in the loop is a direct
// one, which the image's static stack check can follow.
template <MenuLinesPrinter PrintLines, MenuKeyHandler HandleKey>
void ConsoleMenu_Run(void* state) {
  bool print_menu = true;
  for (;;) {
    if (print_menu) {
      ConsoleMenu_Print_Head();
      PrintLines();
      ConsoleMenu_Print_Tail();
    }
    print_menu = false;

    if (UartQueue_Serial_Is_Empty()) {
      Platform_IdleHint();
      continue;
    }

    std::uint8_t key = ConsoleMenu_Take_Key();
    bool quit_taken = HandleKey(state, key);

    print_menu = true;
    if (quit_taken || key == kQuitKey) return;
  }
}
