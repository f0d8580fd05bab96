// Actuator outputs PA4-PA7 (output ports 1-4), input ports PA0-PA3, DIP
// switches PB12/PB13/PB15, the actuator test menu, the ZigBee remote-control
// receiver with the blinking of outputs, and the ZigBee module's reset line PA8,
// transmit test and loop-back test.
#pragma once

#include <cstdint>

// Configures the actuator, input and DIP-switch lines; all outputs low.
void Actuator_Port_Initialization();

// Each output port: GetValue reads the output latch (the level the board
// drives, not the pin), On drives high, Off drives low, Toggle inverts the
// latch. Toggle is only called from the TIM2 interrupt.
std::uint8_t Actuator_Output_Port_1_GetValue();
void Actuator_Output_Port_1_On();
void Actuator_Output_Port_1_Off();
void Actuator_Output_Port_1_Toggle();
std::uint8_t Actuator_Output_Port_2_GetValue();
void Actuator_Output_Port_2_On();
void Actuator_Output_Port_2_Off();
void Actuator_Output_Port_2_Toggle();
std::uint8_t Actuator_Output_Port_3_GetValue();
void Actuator_Output_Port_3_On();
void Actuator_Output_Port_3_Off();
void Actuator_Output_Port_3_Toggle();
std::uint8_t Actuator_Output_Port_4_GetValue();
void Actuator_Output_Port_4_On();
void Actuator_Output_Port_4_Off();
void Actuator_Output_Port_4_Toggle();

// Main-menu key 5: switches the outputs and reads inputs, DIP switches and
// output latches until the operator presses x.
void Test_Actuator();

// Blink flag per output port (element 0 is port 1, PA4). Written only by the
// remote-control receiver; the TIM2 interrupt inverts every output whose flag is set.
extern volatile bool g_actuator_blink_state[4];

enum Mcu_Comm_Rx_State_E : std::uint8_t {
  MCU_COMM_RX_STATE_INIT = 0,
  MCU_COMM_RX_STATE_CONTROL_T_RECEIVED = 1,
  MCU_COMM_RX_STATE_CONTROL_W_RECEIVED = 2,
  MCU_COMM_RX_STATE_CONTROL_L_RECEIVED = 3,
  MCU_COMM_RX_STATE_REQ_STS_RECEIVED = 4,
};
// Every remote command is one byte, so the receiver never leaves INIT.
extern Mcu_Comm_Rx_State_E g_rx_curr_state;

// Takes at most one byte from the ZigBee queue and acts on it as a remote
// command. True when it took a byte; the main loop echoes a second waiting
// byte only then.
bool Test_Actuator_ZigBee_Comm_RX();

// Inverts every blinking output; called by the TIM2 update interrupt.
void Actuator_Blink_Tick();

// The ZigBee module's reset pulse at start-up: 10 ms high, 10 ms low, then high.
void ZigBee_Initialization();
// Main-menu key 6: sends remote commands to the peer by key and shows each byte
// that comes back, until x.
void Test_Actuator_ZigBee_Comm_TX();
// Main-menu key Z: lets go of the module's reset line (PA8 floating input).
void ZigBee_Reset_Pin_Open();
// Main-menu key T: one letter A..Z to the module every second, for ever.
void ZigBee_Com_Test();
