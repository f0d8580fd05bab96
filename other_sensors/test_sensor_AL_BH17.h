// Ambient light sensor test (main-menu key 3): the BH17 at 0x23 on I2C1 in
// continuous high-resolution measurement.
#pragma once

#include <cstdint>

// One read transfer of `length` bytes (no command phase): `length`, or 0 after
// a failed transfer (reported on the console).
std::uint8_t SENSOR_AL_BH17_Read_Bytes(std::uint8_t devAddr, std::uint8_t length, std::uint8_t* data);
// One write transfer of `length` command bytes (at most 255): 0, or -1 after a failure.
std::int8_t SENSOR_AL_BH17_Write_Bytes(std::uint8_t devAddr, std::uint8_t length, std::uint8_t* data);
void Test_Sensor_AL_BH17();
