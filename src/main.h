// The main menu's shared pieces.
#pragma once

// Banner with build date and time, and the four clock frequencies.
void System_Information();
// Prints the main menu when its print flag is set, then clears the flag.
void print_menu_command();
