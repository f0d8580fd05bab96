// Actuator outputs PA4-PA7, input ports PA0-PA3, DIP switches PB12/PB13/PB15,
// and the ZigBee module's reset line PA8.
#pragma once

// Configures the actuator, input and DIP-switch lines; all outputs low.
void Actuator_Port_Initialization();
// The ZigBee module's reset pulse at start-up: 10 ms high, 10 ms low, then high.
void ZigBee_Initialization();
