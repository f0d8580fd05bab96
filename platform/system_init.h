// Clock set-up run before main and again by the board configuration.
#pragma once

// Resets the clock system to MSI, then tries to start the 12 MHz crystal and run
// everything from the PLL at 32 MHz; without the crystal the board stays on MSI.
// Finally places the vector table at the start of flash.
extern "C" void SystemInit(void);
