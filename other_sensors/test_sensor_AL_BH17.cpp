#include "test_sensor_AL_BH17.h"

#include <cstdio>

#include "I2CRoutines.h"
#include "console_menu.h"
#include "debug.h"
#include "hw_config.h"
#include "platform.h"

namespace {

constexpr std::uint8_t BH17_ADDRESS = 0x23;
// Continuous measurement at 1 lx resolution, a result about every 120 ms.
constexpr std::uint8_t BH17_CONTINUOUS_H_RES_MODE = 0x10;

void print_menu_lines() { printf("1> Get Data\n"); }

// `state`: the test's two data bytes, kept from key to key.
bool on_key(void* state, std::uint8_t ch) {
  auto* dataVal = static_cast<std::uint8_t*>(state);
  if (ch == '1') {
    // The sensor measures continuously: the read returns its latest result.
    SENSOR_AL_BH17_Read_Bytes(BH17_ADDRESS, 2, dataVal);
    auto data16Val = static_cast<std::uint16_t>(dataVal[0] * 256 + dataVal[1]);
    printf("Data Val: 0x%04X\n", data16Val);
    auto alData = static_cast<float>(static_cast<double>(static_cast<float>(data16Val)) / 1.2);
    printf("Lux: 0x%f\n", static_cast<double>(alData));
  }
  return false;
}

}  // namespace

std::uint8_t SENSOR_AL_BH17_Read_Bytes(std::uint8_t devAddr, std::uint8_t length, std::uint8_t* data) {
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, DISABLE);
  if (I2C_Master_BufferRead(I2C1, data, length, Polling, static_cast<std::uint8_t>(devAddr << 1)) == Error) {
    DebugMsg_FunctionError("SENSOR_AL_BH17_Read_Bytes", 43);
    return 0;
  }
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, ENABLE);
  return length;
}

std::int8_t SENSOR_AL_BH17_Write_Bytes(std::uint8_t devAddr, std::uint8_t length, std::uint8_t* data) {
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, DISABLE);
  // Interrupt-driven writes on I2C1 send from Buffer_Tx1.
  for (std::uint32_t i = 0; i < length; ++i) Buffer_Tx1[i] = data[i];
  if (I2C_Master_BufferWrite(I2C1, Buffer_Tx1, length, Interrupt, static_cast<std::uint8_t>(devAddr << 1)) == Error) {
    DebugMsg_FunctionError("SENSOR_AL_BH17_Write_Bytes", 65);
    return -1;
  }
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, ENABLE);
  return 0;
}

void Test_Sensor_AL_BH17() {
  // Byte 0 carries the command; byte 1 reads 0 if the first read fails.
  std::uint8_t dataVal[2] = {0, 0};
  GPIO_InitTypeDef GPIO_InitStructure;

  DebugMsg_FunctionStart("Test_Sensor_AL_BH17");

  // PB12 low; it stays so after the test (DIP switch D4 then reads low).
  GPIO_InitStructure.GPIO_Pin = GPIO_Pin_12;
  GPIO_InitStructure.GPIO_Mode = GPIO_Mode_OUT;
  GPIO_InitStructure.GPIO_Speed = GPIO_Speed_40MHz;
  GPIO_InitStructure.GPIO_OType = GPIO_OType_PP;
  GPIO_InitStructure.GPIO_PuPd = GPIO_PuPd_NOPULL;
  GPIO_Init(GPIOB, &GPIO_InitStructure);
  GPIO_ResetBits(GPIOB, GPIO_Pin_12);

  Delay(100);
  dataVal[0] = BH17_CONTINUOUS_H_RES_MODE;
  SENSOR_AL_BH17_Write_Bytes(BH17_ADDRESS, 1, dataVal);
  Delay(100);

  ConsoleMenu_Run<print_menu_lines, on_key>(dataVal);
}
