// PIR motion sensor test (main-menu key 8): the AMN4xx1's output on PH2,
// mirrored on LED1.
#pragma once

// PH2 as an input without pull resistor.
void gpio_pir_port_init();
// LED1 (PC7) is lit while the line is low.
void Test_LED_On();
void Test_LED_Off();
void Test_Sensor_PIR();
