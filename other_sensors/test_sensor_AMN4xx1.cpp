#include "test_sensor_AMN4xx1.h"

#include <cstdint>
#include <cstdio>

#include "console_menu.h"
#include "debug.h"
#include "platform.h"

namespace {

void print_pir_menu_lines() { printf("0> Read port State\n"); }

// The test keeps nothing from key to key: `state` is unused.
bool on_key(void* /*state*/, std::uint8_t ch) {
  if (ch == '0') {
    printf(" status %d\n", GPIO_ReadInputDataBit(GPIOH, GPIO_Pin_2));
    // A second read for the LED: high output (motion) darkens it.
    if (GPIO_ReadInputDataBit(GPIOH, GPIO_Pin_2) == 1) {
      Test_LED_Off();
    } else {
      Test_LED_On();
    }
  }
  return false;
}

}  // namespace

void gpio_pir_port_init() {
  GPIO_InitTypeDef GPIO_InitStructure;
  GPIO_InitStructure.GPIO_Pin = GPIO_Pin_2;
  GPIO_InitStructure.GPIO_Mode = GPIO_Mode_IN;
  GPIO_InitStructure.GPIO_Speed = GPIO_Speed_40MHz;
  GPIO_InitStructure.GPIO_OType = GPIO_OType_OD;
  GPIO_InitStructure.GPIO_PuPd = GPIO_PuPd_NOPULL;  // the sensor drives the line both ways
  GPIO_Init(GPIOH, &GPIO_InitStructure);
}

void Test_LED_On() { GPIO_ResetBits(GPIOC, GPIO_Pin_7); }

void Test_LED_Off() { GPIO_SetBits(GPIOC, GPIO_Pin_7); }

void Test_Sensor_PIR() {
  DebugMsg_FunctionStart("Test_Sensor_PIR");
  gpio_pir_port_init();

  ConsoleMenu_Run<print_pir_menu_lines, on_key>(nullptr);
}
