#include "console_menu.h"

#include <cstdio>

// The frame's last line names the quit key as text.
static_assert(kQuitKey == 'x', "the menu frame's quit line must name the quit key");

void ConsoleMenu_Print_Head() {
  printf("\n---------------------\n");
  printf("Press menu key\n");
  printf("---------------------\n");
}

void ConsoleMenu_Print_Tail() {
  printf("---------------------\n");
  printf("x> quit\n\n");
}

std::uint8_t ConsoleMenu_Take_Key() {
  std::uint8_t key = static_cast<std::uint8_t>(UartQueue_Serial_DeQueue());
  printf("%c is selected\n\n", key);
  return key;
}
