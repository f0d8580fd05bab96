// Start-up and the main menu.
#include "main.h"

#include <cstdint>
#include <cstdio>

#include "I2CRoutines.h"
#include "hw_config.h"
#include "led.h"
#include "menu_keys.h"
#include "platform.h"
#include "test_actuator.h"
#include "test_sensor_9axis.h"
#include "test_sensor_AL_BH17.h"
#include "test_sensor_AMN4xx1.h"
#include "test_sensor_HTU21.h"
#include "test_sensor_LPS25H.h"
#include "uart_queue.h"

namespace {

bool g_print_menu_control_flag = true;

}  // namespace

void System_Information() {
  printf("IoT Tamberlux TL500 Test ... %s %s\n", __DATE__, __TIME__);
  printf("SYSCLK_Frequency = %d\n", static_cast<int>(rcc_clocks.SYSCLK_Frequency));
  printf("HCLK_Frequency   = %d\n", static_cast<int>(rcc_clocks.HCLK_Frequency));
  printf("PCLK1_Frequency  = %d\n", static_cast<int>(rcc_clocks.PCLK1_Frequency));
  printf("PCLK2_Frequency  = %d\n\n", static_cast<int>(rcc_clocks.PCLK2_Frequency));
}

void print_menu_command() {
  if (g_print_menu_control_flag) {
    printf("\n---------------------\n");
    printf("Press menu key\n");
    printf("---------------------\n");
    printf("0> System Information\n");
    printf("Z> ZigBee Reset Pin Open\n");
    printf("T> ZigBee Comm Test\n");
    printf("---------------------\n");
    printf("1> LED Test\n");
    printf("2> MPU 9150 9 Axis Sensor Test\n");
    printf("---------------------\n");
    printf("3> Ambient LightL (BH17) Sensor Test\n");
    printf("4> Temp & Humidity (HTU21) Sensor Test\n");
    printf("---------------------\n");
    printf("5> Actuator Test\n");
    printf("6> Actuator Test - ZigBee Comm TX\n");
    printf("8> PIR Sensor (AMN4xx1) Test\n");
    printf("9> Pressure & temp (LPS25H) Sensor Test\n");
    printf("---------------------\n");
    printf("x> quit\n\n");
  }
  g_print_menu_control_flag = false;
}

int main() {
  RCC_Configuration();
  RCC_GetClocksFreq(&rcc_clocks);
  GPIO_Configuration();
  LED_Off_All();
  NVIC_Configuration();
  EXTI_Configuration();
  USART1_Init_for_Debug();
  USART3_Init_for_Comm();  // from here keys and ZigBee bytes are queued

  System_Information();

  TIM_Configuration();
  printf("TIM_Configuration() done\n");

  if (SysTick_Config(rcc_clocks.SYSCLK_Frequency / 1000) != 0) {
    // Cannot happen with this board's clocks; without the 1 ms tick nothing
    // below could run.
    Platform_Halt("SysTick_Config");
  }
  printf("SysTick_Config() done\n");

  ZigBee_Initialization();
  printf("ZigBee_Initialization() done\n");

  // Drops whatever the module sent while it came out of reset.
  UartQueue_Comm_Initialize();
  printf("UartQueue_Comm_Initialize() done\n");

  I2C_LowLevel_Init();
  printf("I2C_LowLevel_Init() done\n");

  LedControl_forProgramStart();

  Actuator_Port_Initialization();
  printf("Actuator_Port_Initialization() done\n");

  for (;;) {
    // A byte from the peer is a remote command when it reaches the receiver.
    // Only in a pass in which the receiver has just taken one may a second,
    // waiting back to back, be echoed here: a lone byte arriving right after
    // the receiver found the queue empty waits for the next pass instead of
    // being swallowed as an echo.
    bool remote_command_taken = Test_Actuator_ZigBee_Comm_RX();
    if (remote_command_taken && !UartQueue_Comm_Is_Empty()) {
      std::uint8_t received = static_cast<std::uint8_t>(UartQueue_Comm_DeQueue());
      printf("%c is received\n\n", received);
      if (received == '0') {
        System_Information();
      }
    }

    print_menu_command();

    if (UartQueue_Serial_Is_Empty()) {
      // Nothing to do until a byte arrives on either port.
      if (UartQueue_Comm_Is_Empty()) Platform_IdleHint();
      continue;
    }

    std::uint8_t ch = static_cast<std::uint8_t>(UartQueue_Serial_DeQueue());
    printf("%c is selected\n\n", ch);

    switch (ch) {
      case '0':
        System_Information();
        break;
      case '1':
        LED_Test();
        break;
      case '2':
        Test_Sensor_9Axis();
        break;
      case '3':
        Test_Sensor_AL_BH17();
        break;
      case '4':
        Test_Sensor_HTU21();
        break;
      case '5':
        Test_Actuator();
        break;
      case '6':
        Test_Actuator_ZigBee_Comm_TX();
        break;
      case '8':
        Test_Sensor_PIR();
        break;
      case '9':
        Test_Sensor_LPS25H();
        break;
      case 'T':
      case 't':
        ZigBee_Com_Test();  // never returns: only a board reset ends it
        break;
      case 'Z':
      case 'z':
        ZigBee_Reset_Pin_Open();
        break;
      default:
        // Keys without an action only bring the menu back.
        break;
    }

    g_print_menu_control_flag = true;
    if (ch == kQuitKey) {
      break;
    }
  }
  return 0;
}
