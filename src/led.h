// The three status LEDs on PC7, PC8, PC9, lit when their line is driven low.
#pragma once

#include <cstdint>

enum LED_NUM_E : std::uint8_t { LED1 = 0, LED2 = 1, LED3 = 2 };

void LED_On(LED_NUM_E ledNum);
void LED_Off(LED_NUM_E ledNum);
void LED_On_All();
void LED_Off_All();
// Running light: `count` cycles of LED1, LED2, LED3 lit in turn, `delayMSec` each.
void LED_Blink_All(std::uint32_t count, std::uint32_t delayMSec);
// LED test of the main menu (about 2.2 s).
void LED_Test();
// Light show at the end of start-up (about 0.5 s).
void LedControl_forProgramStart();
