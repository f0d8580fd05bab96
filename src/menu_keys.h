// Keys every console menu of the board shares.
#pragma once

#include <cstdint>

// Leaves a test menu for the main menu (and the main menu for good).
inline constexpr std::uint8_t kQuitKey = 'x';
