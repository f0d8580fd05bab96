#include "test_sensor_LPS25H.h"

#include <cstdio>

#include "I2CRoutines.h"
#include "console_menu.h"
#include "debug.h"
#include "hw_config.h"
#include "platform.h"

std::uint8_t LPS25H_SLAVE_ADDRESS = 0x5D;

namespace {

constexpr std::uint8_t LPS25H_WHO_AM_I_ADDR = 0x0F;
constexpr std::uint8_t LPS25H_RES_CONF_ADDR = 0x10;
constexpr std::uint8_t LPS25H_CTRL_REG1_ADDR = 0x20;
constexpr std::uint8_t LPS25H_PRESS_OUT_XL_ADDR = 0x28;
constexpr std::uint8_t LPS25H_TEMP_OUT_L_ADDR = 0x2B;
// Register address bit that makes the sensor step to the next register.
constexpr std::uint8_t LPS25H_AUTO_INCREMENT = 0x80;

// CTRL_REG1: power up, 25 Hz, interrupt circuit on, block data update, 3-wire SPI off.
constexpr std::uint8_t LPS25H_CTRL_REG1_PD = 0x80;
constexpr std::uint8_t LPS25H_CTRL_REG1_ODR_25HZ = 0x40;
constexpr std::uint8_t LPS25H_CTRL_REG1_DIFF_EN = 0x08;
constexpr std::uint8_t LPS25H_CTRL_REG1_BDU = 0x04;
constexpr std::uint8_t LPS25H_CTRL_REG1_SIM = 0x01;
// RES_CONF: most internal averages of temperature and pressure.
constexpr std::uint8_t LPS25H_RES_CONF_AVGT_64 = 0x03;
constexpr std::uint8_t LPS25H_RES_CONF_AVGP_512 = 0x0C;

constexpr std::uint32_t PRESSURE_AVERAGES = 1000;
constexpr std::uint32_t SAMPLES_PER_AVERAGE = 1000;

void print_menu_lines() {
  printf("0> Get Device ID\n");
  printf("1> Get Pressure Data\n");
  printf("2> Get Temperature Data\n");
}

// 1000 printed averages of 1000 samples each, 1 ms apart: over 16 minutes,
// and the console is not looked at meanwhile.
void Measure_Averaged_Pressure(std::uint8_t* buffer) {
  for (std::uint32_t count = 0; count < PRESSURE_AVERAGES; ++count) {
    // Signed and 64 bits wide: 1000 samples of up to 2^23 counts each fit
    // either way, so neither a high pressure wraps the sum nor does a sum of
    // negative samples turn into a huge one.
    std::int64_t data32Val_sum = 0;
    for (std::uint32_t k = 0; k < SAMPLES_PER_AVERAGE; ++k) {
      SENSOR_LPS25H_Read_Bytes(LPS25H_SLAVE_ADDRESS, LPS25H_PRESS_OUT_XL_ADDR | LPS25H_AUTO_INCREMENT, 3, buffer);
      std::uint32_t data32Val = 0;
      for (std::uint8_t i = 0; i < 3; ++i) data32Val |= static_cast<std::uint32_t>(buffer[i]) << (8 * i);
      if (data32Val & 0x00800000) {
        printf("data32Val & 0x00800000) is true \n");
        data32Val |= 0xFF000000;  // extend the 24-bit sign
      }
      data32Val_sum += static_cast<std::int32_t>(data32Val);
      Delay(1);
    }
    // Single precision for the division by 1000, double for the one by 4096.
    float calcData = static_cast<float>(static_cast<double>(static_cast<float>(data32Val_sum) / 1000.0f) / 4096.0);
    printf("Pressure: %5.2f hPa\n", static_cast<double>(calcData));
  }
}

// The test's bytes, kept from key to key.
struct Readings {
  // Shown as 0 if the identity read fails.
  std::uint8_t dataVal[3];
  std::uint8_t buffer[3];
};

bool on_key(void* state, std::uint8_t ch) {
  auto* readings = static_cast<Readings*>(state);
  std::uint8_t* buffer = readings->buffer;
  if (ch == '0') {
    SENSOR_LPS25H_Read_Bytes(LPS25H_SLAVE_ADDRESS, LPS25H_WHO_AM_I_ADDR, 1, readings->dataVal);
    printf("Device id : 0x%02X\n", readings->dataVal[0]);
  } else if (ch == '1') {
    Measure_Averaged_Pressure(buffer);
  } else if (ch == '2') {
    SENSOR_LPS25H_Read_Bytes(LPS25H_SLAVE_ADDRESS, LPS25H_TEMP_OUT_L_ADDR | LPS25H_AUTO_INCREMENT, 2, buffer);
    printf("buffer[0]: 0x%02X, buffer[1]: 0x%02X\n", buffer[0], buffer[1]);
    auto data16Val = static_cast<std::int16_t>(buffer[0] + buffer[1] * 256);
    auto calcData = static_cast<float>(42.5 + static_cast<double>(static_cast<float>(data16Val)) / 480.0);
    auto unsigned_data16Val = static_cast<std::uint16_t>(data16Val);
    // The degree sign goes out as the two bytes 0xA1 0xC6, as the board's
    // terminals have always shown it.
    printf(
        "data16Val: 0x%4X, Temperature: %f"
        "\xA1\xC6"
        "C\n",
        unsigned_data16Val, static_cast<double>(calcData));
  }
  return false;
}

}  // namespace

std::uint8_t SENSOR_LPS25H_Read_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                      std::uint8_t* data) {
  return I2C1_Sensor_Register_Read("SENSOR_LPS25H_Read_Bytes", 48, 55, devAddr, regAddr, length, data);
}

std::int8_t SENSOR_LPS25H_Write_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                      std::uint8_t* data) {
  return I2C1_Sensor_Register_Write("SENSOR_LPS25H_Write_Bytes", 78, devAddr, regAddr, length, data);
}

void LPS25H_Init() {
  std::uint8_t dataVal = 0;
  std::uint8_t dataValRead = 0;

  dataVal |= LPS25H_CTRL_REG1_PD;
  dataVal |= LPS25H_CTRL_REG1_ODR_25HZ;
  dataVal |= LPS25H_CTRL_REG1_DIFF_EN;
  dataVal |= LPS25H_CTRL_REG1_BDU;
  dataVal |= LPS25H_CTRL_REG1_SIM;
  SENSOR_LPS25H_Write_Bytes(LPS25H_SLAVE_ADDRESS, LPS25H_CTRL_REG1_ADDR, 1, &dataVal);
  SENSOR_LPS25H_Read_Bytes(LPS25H_SLAVE_ADDRESS, LPS25H_CTRL_REG1_ADDR, 1, &dataValRead);
  printf("LPS25H_CTRL_REG1_ADDR init read : 0x%02X\n", dataValRead);

  dataVal = 0;
  dataVal |= LPS25H_RES_CONF_AVGT_64;
  dataVal |= LPS25H_RES_CONF_AVGP_512;
  SENSOR_LPS25H_Write_Bytes(LPS25H_SLAVE_ADDRESS, LPS25H_RES_CONF_ADDR, 1, &dataVal);
  SENSOR_LPS25H_Read_Bytes(LPS25H_SLAVE_ADDRESS, LPS25H_RES_CONF_ADDR, 1, &dataValRead);
  printf("LPS25H_RES_CONF_ADDR init read : 0x%02X\n", dataValRead);
}

void Test_Sensor_LPS25H() {
  Readings readings = {{0, 0, 0}, {0, 0, 0}};

  DebugMsg_FunctionStart("Test_Sensor_LPS25H");
  Delay(300);
  LPS25H_Init();
  Delay(300);

  ConsoleMenu_Run<print_menu_lines, on_key>(&readings);
}
