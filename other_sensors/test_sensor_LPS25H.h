// Pressure and temperature sensor test (main-menu key 9): the LPS25H on I2C1.
#pragma once

#include <cstdint>

// 7-bit address of the pressure sensor (SA0 high).
extern std::uint8_t LPS25H_SLAVE_ADDRESS;

// Sends the register byte regAddr (bit 7 set: the sensor steps the address),
// then reads `length` bytes: `length`, or 0 after a failed transfer.
std::uint8_t SENSOR_LPS25H_Read_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                      std::uint8_t* data);
// Sends regAddr and `length` data bytes (at most 254) in one write: 0, or -1 after a failure.
std::int8_t SENSOR_LPS25H_Write_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                      std::uint8_t* data);
// Writes CTRL_REG1 and RES_CONF and prints what they read back.
void LPS25H_Init();
void Test_Sensor_LPS25H();
