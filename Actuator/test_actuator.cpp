#include "test_actuator.h"

#include <cstdio>

#include "debug.h"
#include "hw_config.h"
#include "menu_keys.h"
#include "platform.h"
#include "uart_comm.h"
#include "uart_queue.h"

volatile bool g_actuator_blink_state[4];
Mcu_Comm_Rx_State_E g_rx_curr_state;

namespace {

constexpr std::uint16_t kDipSwitchPins = GPIO_Pin_12 | GPIO_Pin_13 | GPIO_Pin_15;
constexpr std::uint16_t kInputPins = GPIO_Pin_0 | GPIO_Pin_1 | GPIO_Pin_2 | GPIO_Pin_3;
constexpr std::uint16_t kOutputPins = GPIO_Pin_4 | GPIO_Pin_5 | GPIO_Pin_6 | GPIO_Pin_7;
constexpr std::uint16_t kZigBeeResetPin = GPIO_Pin_8;

// Menu-print flags of the actuator test and of the ZigBee transmit test.
bool g_print_menu_control_flag = true;
bool g_print_menu_control_flag_2 = true;

std::uint8_t output_get(std::uint16_t pin) { return GPIO_ReadOutputDataBit(GPIOA, pin); }
void output_on(std::uint16_t pin) { GPIO_SetBits(GPIOA, pin); }
void output_off(std::uint16_t pin) { GPIO_ResetBits(GPIOA, pin); }

// Takes the next console key; the caller has checked that one waits.
std::uint8_t take_key() { return static_cast<std::uint8_t>(UartQueue_Serial_DeQueue()); }

void print_menu_command() {
  if (g_print_menu_control_flag) {
    printf("\n---------------------\n");
    printf("Press menu key\n");
    printf("---------------------\n");
    printf("1> Output port 0 On\n");
    printf("2> Output port 0 Off\n");
    printf("3> Output port 1 On\n");
    printf("4> Output port 1 Off\n");
    printf("5> Output port 2 On\n");
    printf("6> Output port 2 Off\n");
    printf("7> Output port 3 On\n");
    printf("8> Output port 3 Off\n");
    printf("---------------------\n");
    printf("9> Read Input ports\n");
    printf("a> Read DIP switch ports\n");
    printf("b> Read Output ports\n");
    printf("---------------------\n");
    printf("x> quit\n\n");
  }
  g_print_menu_control_flag = false;
}

void print_menu_command_2() {
  if (g_print_menu_control_flag_2) {
    printf("\n---------------------\n");
    printf("Press menu key\n");
    printf("---------------------\n");
    printf("S> Read port State\n");
    printf("0> Output port 1 Off\n");
    printf("1> Output port 1 On\n");
    printf("2> Output port 1 Blink\n");
    printf("3> Output port 2 Off\n");
    printf("4> Output port 2 On\n");
    printf("5> Output port 2 Blink\n");
    printf("6> Output port 3 Off\n");
    printf("7> Output port 3 On\n");
    printf("8> Output port 3 Blink\n");
    printf("9> Output port 4 Off\n");
    printf("A> Output port 4 On\n");
    printf("B> Output port 4 Blink\n");
    printf("---------------------\n");
    printf("x> quit\n\n");
  }
  g_print_menu_control_flag_2 = false;
}

// Two-bit state code of one output for the status reply: 2 blinking (the level
// is not looked at), else the driven level, 1 high or 0 low.
std::uint8_t port_state_code(unsigned index, std::uint8_t level) { return g_actuator_blink_state[index] ? 2 : level; }

// A remote on or off command: the blink flag is cleared before the level is
// set, so a TIM2 toggle that falls in between is overwritten and the commanded
// level holds when the command is done.
void remote_steady(unsigned index, void (*set_level)()) {
  g_actuator_blink_state[index] = false;
  set_level();
}

void remote_blink(unsigned index) { g_actuator_blink_state[index] = true; }

void send_port_status() {
  std::uint8_t ch_1_data = port_state_code(0, Actuator_Output_Port_1_GetValue());
  std::uint8_t ch_2_data = port_state_code(1, Actuator_Output_Port_2_GetValue());
  std::uint8_t ch_3_data = port_state_code(2, Actuator_Output_Port_3_GetValue());
  std::uint8_t ch_4_data = port_state_code(3, Actuator_Output_Port_4_GetValue());
  std::uint8_t ch_sendData =
      static_cast<std::uint8_t>(ch_1_data | (ch_2_data << 2) | (ch_3_data << 4) | (ch_4_data << 6));
  UartComm_SendData_OneChar(ch_sendData);
  UartComm_SendData_OneChar(0x00);
  UartComm_SendData_OneChar(0x00);
  g_rx_curr_state = MCU_COMM_RX_STATE_INIT;
}

}  // namespace

void Actuator_Port_Initialization() {
  GPIO_Configure_Pins(GPIOB, kDipSwitchPins, GPIO_Mode_IN, GPIO_OType_OD, GPIO_PuPd_UP);
  GPIO_Configure_Pins(GPIOA, kInputPins, GPIO_Mode_IN, GPIO_OType_OD, GPIO_PuPd_NOPULL);
  GPIO_Configure_Pins(GPIOA, kOutputPins, GPIO_Mode_OUT, GPIO_OType_PP, GPIO_PuPd_NOPULL);
  GPIO_ResetBits(GPIOA, kOutputPins);
}

std::uint8_t Actuator_Output_Port_1_GetValue() { return output_get(GPIO_Pin_4); }
void Actuator_Output_Port_1_On() { output_on(GPIO_Pin_4); }
void Actuator_Output_Port_1_Off() { output_off(GPIO_Pin_4); }
void Actuator_Output_Port_1_Toggle() {
  GPIO_WriteBit(GPIOA, GPIO_Pin_4, static_cast<BitAction>(1 - Actuator_Output_Port_1_GetValue()));
}

std::uint8_t Actuator_Output_Port_2_GetValue() { return output_get(GPIO_Pin_5); }
void Actuator_Output_Port_2_On() { output_on(GPIO_Pin_5); }
void Actuator_Output_Port_2_Off() { output_off(GPIO_Pin_5); }
void Actuator_Output_Port_2_Toggle() {
  GPIO_WriteBit(GPIOA, GPIO_Pin_5, static_cast<BitAction>(1 - Actuator_Output_Port_2_GetValue()));
}

std::uint8_t Actuator_Output_Port_3_GetValue() { return output_get(GPIO_Pin_6); }
void Actuator_Output_Port_3_On() { output_on(GPIO_Pin_6); }
void Actuator_Output_Port_3_Off() { output_off(GPIO_Pin_6); }
void Actuator_Output_Port_3_Toggle() {
  GPIO_WriteBit(GPIOA, GPIO_Pin_6, static_cast<BitAction>(1 - Actuator_Output_Port_3_GetValue()));
}

std::uint8_t Actuator_Output_Port_4_GetValue() { return output_get(GPIO_Pin_7); }
void Actuator_Output_Port_4_On() { output_on(GPIO_Pin_7); }
void Actuator_Output_Port_4_Off() { output_off(GPIO_Pin_7); }
void Actuator_Output_Port_4_Toggle() {
  GPIO_WriteBit(GPIOA, GPIO_Pin_7, static_cast<BitAction>(1 - Actuator_Output_Port_4_GetValue()));
}

void Test_Actuator() {
  DebugMsg_FunctionStart("Test_Actuator");
  for (;;) {
    print_menu_command();
    if (UartQueue_Serial_Is_Empty()) {
      Platform_IdleHint();
      continue;
    }

    std::uint8_t ch = take_key();
    printf("%c is selected\n\n", ch);

    // The menu counts the outputs from 0: its port 0 is output port 1 (PA4).
    switch (ch) {
      case '1':
        Actuator_Output_Port_1_On();
        break;
      case '2':
        Actuator_Output_Port_1_Off();
        break;
      case '3':
        Actuator_Output_Port_2_On();
        break;
      case '4':
        Actuator_Output_Port_2_Off();
        break;
      case '5':
        Actuator_Output_Port_3_On();
        break;
      case '6':
        Actuator_Output_Port_3_Off();
        break;
      case '7':
        Actuator_Output_Port_4_On();
        break;
      case '8':
        Actuator_Output_Port_4_Off();
        break;
      case '9':
        printf("Input Port P0: %d, P1: %d, P2: %d, P3: %d\n", GPIO_ReadInputDataBit(GPIOA, GPIO_Pin_0),
               GPIO_ReadInputDataBit(GPIOA, GPIO_Pin_1), GPIO_ReadInputDataBit(GPIOA, GPIO_Pin_2),
               GPIO_ReadInputDataBit(GPIOA, GPIO_Pin_3));
        break;
      case 'a':
        printf("Dip Switch Port D4: %d, D5: %d, D6: %d\n", GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_12),
               GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_13), GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_15));
        break;
      case 'b':
        printf("Output Port P0: %d, P1: %d, P2: %d, P3: %d\n", GPIO_ReadOutputDataBit(GPIOA, GPIO_Pin_4),
               GPIO_ReadOutputDataBit(GPIOA, GPIO_Pin_5), GPIO_ReadOutputDataBit(GPIOA, GPIO_Pin_6),
               GPIO_ReadOutputDataBit(GPIOA, GPIO_Pin_7));
        break;
      default:
        // The blink flags are left alone: a blinking output keeps toggling.
        break;
    }

    g_print_menu_control_flag = true;
    if (ch == kQuitKey) return;
  }
}

bool Test_Actuator_ZigBee_Comm_RX() {
  if (UartQueue_Comm_Is_Empty()) return false;

  std::uint8_t ch = static_cast<std::uint8_t>(UartQueue_Comm_DeQueue());
  printf("%c is received\n\n", ch);

  switch (ch) {
    case '0':
      remote_steady(0, Actuator_Output_Port_1_Off);
      break;
    case '1':
      remote_steady(0, Actuator_Output_Port_1_On);
      break;
    case '2':
      remote_blink(0);
      break;
    case '3':
      remote_steady(1, Actuator_Output_Port_2_Off);
      break;
    case '4':
      remote_steady(1, Actuator_Output_Port_2_On);
      break;
    case '5':
      remote_blink(1);
      break;
    case '6':
      remote_steady(2, Actuator_Output_Port_3_Off);
      break;
    case '7':
      remote_steady(2, Actuator_Output_Port_3_On);
      break;
    case '8':
      remote_blink(2);
      break;
    case '9':
      remote_steady(3, Actuator_Output_Port_4_Off);
      break;
    case 'A':
      remote_steady(3, Actuator_Output_Port_4_On);
      break;
    case 'B':
      remote_blink(3);
      break;
    case 'S':
      send_port_status();
      break;
    default:
      // Not a command: the echo is all.
      break;
  }
  return true;
}

void Actuator_Blink_Tick() {
  if (g_actuator_blink_state[0]) Actuator_Output_Port_1_Toggle();
  if (g_actuator_blink_state[1]) Actuator_Output_Port_2_Toggle();
  if (g_actuator_blink_state[2]) Actuator_Output_Port_3_Toggle();
  if (g_actuator_blink_state[3]) Actuator_Output_Port_4_Toggle();
}

void ZigBee_Initialization() {
  GPIO_SetBits(GPIOA, kZigBeeResetPin);
  Delay(10);
  GPIO_ResetBits(GPIOA, kZigBeeResetPin);
  Delay(10);
  GPIO_SetBits(GPIOA, kZigBeeResetPin);
}

void Test_Actuator_ZigBee_Comm_TX() {
  DebugMsg_FunctionStart("Test_Actuator_ZigBee_Comm_TX");
  for (;;) {
    print_menu_command_2();

    // One byte from the peer per pass: a three-byte status reply shows as
    // three lines in three passes.
    bool received = !UartQueue_Comm_Is_Empty();
    if (received) {
      printf("0x%02X is received\n\n", static_cast<std::uint8_t>(UartQueue_Comm_DeQueue()));
    }

    if (UartQueue_Serial_Is_Empty()) {
      if (!received) Platform_IdleHint();
      continue;
    }

    std::uint8_t ch = take_key();
    printf("%c is selected\n\n", ch);

    if ((ch >= '0' && ch <= '9') || ch == 'A' || ch == 'B' || ch == 'S') {
      UartComm_SendData_OneChar(ch);
    } else if (ch == 'a' || ch == 'b' || ch == 's') {
      UartComm_SendData_OneChar(static_cast<std::uint8_t>(ch - 'a' + 'A'));
    }

    g_print_menu_control_flag_2 = true;
    if (ch == kQuitKey) return;
  }
}

void ZigBee_Reset_Pin_Open() {
  DebugMsg_FunctionStart("ZigBee_Reset_Pin_Open");
  // The board lets go of the line; the module's own pull-up decides its level.
  GPIO_Configure_Pins(GPIOA, kZigBeeResetPin, GPIO_Mode_IN, GPIO_OType_PP, GPIO_PuPd_NOPULL);
}

void ZigBee_Com_Test() {
  DebugMsg_FunctionStart("ZigBee_Com_Test");
  std::uint8_t letter = 'A';
  for (;;) {
    if (!UartQueue_Comm_Is_Empty()) {
      std::uint8_t ch = static_cast<std::uint8_t>(UartQueue_Comm_DeQueue());
      printf("0x%02X (%c) is received\n", ch, ch);
    }
    UartComm_SendData_OneChar(letter);
    printf("%c is sent\n", letter);
    Delay(1000);
    letter = letter == 'Z' ? 'A' : static_cast<std::uint8_t>(letter + 1);
  }
}
