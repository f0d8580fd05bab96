// Temperature and humidity sensor test (main-menu key 4): the HTU21 at 0x40 on
// I2C1, measuring in hold-master mode.
#pragma once

#include <cstdint>

// Sends the command byte regAddr, then reads `length` bytes in a transfer of
// their own: `length`, or 0 after a failed transfer (reported on the console).
std::uint8_t SENSOR_HTU21_Read_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data);
// Sends one command byte: 0, or -1 after a failed transfer.
std::int8_t SENSOR_HTU21_Write_Command(std::uint8_t devAddr, std::uint8_t data);
void Test_Sensor_HTU21();
