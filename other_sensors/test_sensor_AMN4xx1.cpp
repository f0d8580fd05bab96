#include "test_sensor_AMN4xx1.h"

#include <cstdint>
#include <cstdio>

#include "debug.h"
#include "menu_keys.h"
#include "platform.h"
#include "uart_queue.h"

namespace {

bool g_print_menu_control_flag = true;

void print_pir_menu_command() {
  if (g_print_menu_control_flag) {
    printf("\n---------------------\n");
    printf("Press menu key\n");
    printf("---------------------\n");
    printf("0> Read port State\n");
    printf("---------------------\n");
    printf("x> quit\n\n");
  }
  g_print_menu_control_flag = false;
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
  std::uint8_t ch = 0;

  DebugMsg_FunctionStart("Test_Sensor_PIR");
  gpio_pir_port_init();

  for (;;) {
    print_pir_menu_command();

    if (UartQueue_Serial_Is_Empty()) {
      Platform_IdleHint();
      continue;
    }

    ch = static_cast<std::uint8_t>(UartQueue_Serial_DeQueue());
    printf("%c is selected\n\n", ch);

    if (ch == '0') {
      printf(" status %d\n", GPIO_ReadInputDataBit(GPIOH, GPIO_Pin_2));
      // A second read for the LED: high output (motion) darkens it.
      if (GPIO_ReadInputDataBit(GPIOH, GPIO_Pin_2) == 1) {
        Test_LED_Off();
      } else {
        Test_LED_On();
      }
    }

    g_print_menu_control_flag = true;
    if (ch == kQuitKey) return;
  }
}
