// Master transfers on the two I2C buses (I2C1: sensor bus on PB6/PB7; I2C2 on
// PB10/PB11): bus bring-up, polling and interrupt-driven reads and writes, and
// the globals the event handlers share with the waiting routines.
#pragma once

#include <cstdint>

#include "platform.h"

enum Status : std::uint8_t { Error = 0, Success = 1 };
enum I2C_ProgrammingModel : std::uint8_t { Polling = 0, Interrupt = 1, DMA = 2 };

// Buffers of the interrupt-driven transfers, one pair per bus.
inline constexpr std::uint32_t I2C_BUFFER_SIZE = 255;

// Address byte the event handler sends after a START (bit 0 = 1: read).
extern volatile std::uint8_t Address;
// Direction of the interrupt-driven transfer in progress: 0 transmit, 1 receive.
extern volatile std::uint32_t I2CDirection;
extern volatile std::uint32_t NumbOfBytes1;
extern volatile std::uint32_t NumbOfBytes2;
extern std::uint8_t Buffer_Tx1[I2C_BUFFER_SIZE];
extern std::uint8_t Buffer_Rx1[I2C_BUFFER_SIZE];
extern std::uint8_t Buffer_Tx2[I2C_BUFFER_SIZE];
extern std::uint8_t Buffer_Rx2[I2C_BUFFER_SIZE];
extern volatile std::uint8_t Tx_Idx1;
extern volatile std::uint8_t Rx_Idx1;
extern volatile std::uint8_t Tx_Idx2;
extern volatile std::uint8_t Rx_Idx2;

// Set by the error handler of a bus when its transfer met an acknowledge
// failure, lost arbitration or a bus error; the waiting routine returns Error.
extern volatile std::uint8_t I2C1_Transfer_Failed;
extern volatile std::uint8_t I2C2_Transfer_Failed;

// Polls of SR1 before a START or an address is taken for lost.
inline constexpr std::uint32_t I2C_FLAG_TIMEOUT = 0xFFFF;

void I2C_LowLevel_Init();
Status I2C_Master_BufferRead(I2C_TypeDef* I2Cx, std::uint8_t* pBuffer, std::uint32_t NumByteToRead,
                             I2C_ProgrammingModel Mode, std::uint8_t SlaveAddress);
Status I2C_Master_BufferWrite(I2C_TypeDef* I2Cx, std::uint8_t* pBuffer, std::uint32_t NumByteToWrite,
                              I2C_ProgrammingModel Mode, std::uint8_t SlaveAddress);

// Polls allowed for the waits after the address phase (bytes, STOP, START, the
// bus going idle): about 100 ms at the running core clock, so a sensor that
// holds the clock through a 50 ms conversion still completes.
std::uint32_t I2C_Long_Wait_Budget();

// The sensor modules' register transfers on I2C1 (7-bit device address), with
// the FSMC clock off while they run. A read writes the register address
// (interrupt-driven, ended by a STOP) and then reads `length` bytes by
// polling: the count, or 0. A write sends the register address and `length`
// bytes in one interrupt-driven transfer from Buffer_Tx1: 0, or -1. A failed
// step prints `who` with that step's diagnostic number and returns at once,
// leaving the FSMC clock off, as each module's own functions always did.
std::uint8_t I2C1_Sensor_Register_Read(const char* who, int writeDiagnostic, int readDiagnostic, std::uint8_t devAddr,
                                       std::uint8_t regAddr, std::uint8_t length, std::uint8_t* data);
std::int8_t I2C1_Sensor_Register_Write(const char* who, int diagnostic, std::uint8_t devAddr, std::uint8_t regAddr,
                                       std::uint8_t length, const std::uint8_t* data);
