// Everything the firmware uses to reach the hardware.
#pragma once

#include "cpu.h"
#include "gpio.h"
#include "i2c.h"
#include "nvic.h"
#include "platform_types.h"
#include "rcc.h"
#include "stm32l1_registers.h"
#include "system_init.h"
#include "tim.h"
#include "usart.h"
