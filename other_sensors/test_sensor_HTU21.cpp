#include "test_sensor_HTU21.h"

#include <cstdio>

#include "I2CRoutines.h"
#include "console_menu.h"
#include "debug.h"
#include "hw_config.h"
#include "platform.h"

namespace {

constexpr std::uint8_t HTU21_ADDRESS = 0x40;
constexpr std::uint8_t HTU21_TRIGGER_TEMP_MEASURE_HOLD = 0xE3;
constexpr std::uint8_t HTU21_TRIGGER_HUMD_MEASURE_HOLD = 0xE5;
constexpr std::uint8_t HTU21_SOFT_RESET = 0xFE;

void print_menu_lines() {
  printf("1> Get Temperature Data\n");
  printf("2> Get Humidity Data\n");
}

// `state`: the test's three data bytes, kept from key to key.
bool on_key(void* state, std::uint8_t ch) {
  auto* dataVal = static_cast<std::uint8_t*>(state);
  std::uint16_t data16Val = 0;
  float calcData = 0;
  if (ch == '1') {
    SENSOR_HTU21_Read_Bytes(HTU21_ADDRESS, HTU21_TRIGGER_TEMP_MEASURE_HOLD, 3, dataVal);
    printf("data[0]: 0x%02X, data[1]: 0x%02X, data[2]: 0x%02X\n", dataVal[0], dataVal[1], dataVal[2]);
    // The status bits in the low byte stay in the value, as the sensor sends them.
    data16Val = static_cast<std::uint16_t>(dataVal[0] * 256 + dataVal[1]);
    calcData = static_cast<float>(-46.85 + 175.72 * static_cast<double>(static_cast<float>(data16Val) / 65536.0f));
    printf("data16Val: 0x%04X, Temperature: %f\n", data16Val, static_cast<double>(calcData));
  } else if (ch == '2') {
    SENSOR_HTU21_Read_Bytes(HTU21_ADDRESS, HTU21_TRIGGER_HUMD_MEASURE_HOLD, 3, dataVal);
    printf("data[0]: 0x%02X, data[1]: 0x%02X, data[2]: 0x%02X\n", dataVal[0], dataVal[1], dataVal[2]);
    data16Val = static_cast<std::uint16_t>(dataVal[0] * 256 + dataVal[1]);
    calcData = (static_cast<float>(data16Val) / 65536.0f) * 125.0f - 6.0f;
    printf("data16Val: 0x%04X, Humidity: %f\n", data16Val, static_cast<double>(calcData));
  }
  return false;
}

}  // namespace

std::uint8_t SENSOR_HTU21_Read_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data) {
  // In hold-master mode the sensor stretches the clock of the read until its
  // conversion is done.
  return I2C1_Sensor_Register_Read("SENSOR_HTU21_Read_Bytes", 52, 59, devAddr, regAddr, length, data);
}

std::int8_t SENSOR_HTU21_Write_Command(std::uint8_t devAddr, std::uint8_t data) {
  // A command is a bare one-byte write: the register write with no data after
  // the address byte it sends.
  return I2C1_Sensor_Register_Write("SENSOR_HTU21_Write_Command", 104, devAddr, data, 0, nullptr);
}

void Test_Sensor_HTU21() {
  // Shown as zeros if the first read fails.
  std::uint8_t dataVal[3] = {0, 0, 0};

  DebugMsg_FunctionStart("Test_Sensor_HTU21");
  Delay(300);
  SENSOR_HTU21_Write_Command(HTU21_ADDRESS, HTU21_SOFT_RESET);
  Delay(300);

  ConsoleMenu_Run<print_menu_lines, on_key>(dataVal);
}
