#include "led.h"

#include "hw_config.h"
#include "platform.h"

namespace {
std::uint16_t led_pin(LED_NUM_E ledNum) { return static_cast<std::uint16_t>(0x0080u << ledNum); }
}  // namespace

// The LEDs are lit while their line is driven low.
void LED_On(LED_NUM_E ledNum) { GPIO_ResetBits(GPIOC, led_pin(ledNum)); }

void LED_Off(LED_NUM_E ledNum) { GPIO_SetBits(GPIOC, led_pin(ledNum)); }

void LED_On_All() {
  LED_On(LED1);
  LED_On(LED2);
  LED_On(LED3);
}

void LED_Off_All() {
  LED_Off(LED1);
  LED_Off(LED2);
  LED_Off(LED3);
}

void LED_Blink_All(std::uint32_t count, std::uint32_t delayMSec) {
  while (count != 0) {
    LED_On(LED1);
    LED_Off(LED2);
    LED_Off(LED3);
    Delay(delayMSec);

    LED_Off(LED1);
    LED_On(LED2);
    LED_Off(LED3);
    Delay(delayMSec);

    LED_Off(LED1);
    LED_Off(LED2);
    LED_On(LED3);
    Delay(delayMSec);

    --count;
  }
}

void LED_Test() {
  LED_On_All();
  delay_100_milli_second();
  LED_Off_All();
  delay_100_milli_second();

  LED_Blink_All(3, 200);

  LED_On_All();
  delay_100_milli_second();
  LED_Off_All();
  delay_100_milli_second();
}

void LedControl_forProgramStart() {
  LED_On_All();
  Delay(30);
  LED_Blink_All(5, 30);
  Delay(30);
  LED_Off_All();
}
