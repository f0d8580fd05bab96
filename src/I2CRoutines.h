// Bring-up of the two I2C buses (I2C1: sensor bus on PB6/PB7; I2C2 on PB10/PB11).
#pragma once

void I2C_LowLevel_Init();
