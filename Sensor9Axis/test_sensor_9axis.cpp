// The motion sensor's transfer glue. The clock of the external memory
// controller (unused on this board) is switched off for each transfer and on
// again only after a good one.
#include "test_sensor_9axis.h"

#include "I2CRoutines.h"
#include "debug.h"
#include "platform.h"

std::uint8_t SENSOR_9AXIS_Read_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data) {
  const auto slave = static_cast<std::uint8_t>(devAddr << 1);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, DISABLE);
  Buffer_Tx1[0] = regAddr;
  // The register address, ended by a STOP; the data follow in a read of their own.
  if (I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 1, Interrupt, slave) == Error) {
    DebugMsg_FunctionError("SENSOR_9AXIS_Read_Bytes", 53);
    return 0;
  }
  if (I2C_Master_BufferRead(I2C1, data, length, Polling, slave) == Error) {
    DebugMsg_FunctionError("SENSOR_9AXIS_Read_Bytes", 60);
    return 0;
  }
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, ENABLE);
  return length;
}

std::int8_t SENSOR_9AXIS_Write_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data) {
  const auto slave = static_cast<std::uint8_t>(devAddr << 1);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, DISABLE);
  // Register address, then the data: at most 254 data bytes fit the buffer.
  Buffer_Tx1[0] = regAddr;
  for (std::uint32_t i = 0; i < length && i + 1u < I2C_BUFFER_SIZE; ++i) Buffer_Tx1[i + 1u] = data[i];
  if (I2C_Master_BufferWrite(I2C1, Buffer_Tx1, static_cast<std::uint32_t>(length) + 1u, Interrupt, slave) == Error) {
    DebugMsg_FunctionError("SENSOR_9AXIS_Write_Bytes", 83);
    return -1;
  }
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, ENABLE);
  return 0;
}
