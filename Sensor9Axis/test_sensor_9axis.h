// The motion sensor's test (main-menu key 2), and the glue that turns its register accesses into
// I2C transfers on I2C1.
#pragma once

#include <cstdint>

// Reads `length` registers from regAddr on (7-bit device address): the count,
// or 0 after a failed transfer (reported on the console; `data` untouched).
std::uint8_t SENSOR_9AXIS_Read_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data);
// Writes `length` registers from regAddr on: 0, or -1 after a failed transfer.
std::int8_t SENSOR_9AXIS_Write_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data);

// Initialises the motion sensor and runs its menu: the two device identifiers
// and a stream of all nine axes, until x.
void Test_Sensor_9Axis();
