// The motion sensor's transfer glue. The clock of the external memory
// controller (unused on this board) is switched off for each transfer and on
// again only after a good one.
#include "test_sensor_9axis.h"

#include <cstdio>

#include "I2CRoutines.h"
#include "I2Cdev.h"
#include "MPU6050.h"
#include "console_menu.h"
#include "debug.h"
#include "hw_config.h"
#include "menu_keys.h"
#include "platform.h"
#include "uart_queue.h"

namespace {

constexpr std::uint8_t MAGNETOMETER_ADDRESS = 0x0C;
constexpr std::uint8_t MAGNETOMETER_RA_WIA = 0x00;

void print_menu_lines() {
  printf("1> Get Device ID\n");
  printf("2> Get Device ID (MPU-9150 Magnetometer)\n");
  printf("3> Init & Read 9 axis data\n");
}

// What the test keeps from key to key.
struct Readings {
  // Shown as 0 if the very first magnetometer identity read fails.
  std::uint8_t dataVal;
  std::int16_t ax, ay, az, gx, gy, gz, mx, my, mz;
};

bool on_key(void* state, std::uint8_t ch) {
  Readings& r = *static_cast<Readings*>(state);
  switch (ch) {
    case '1':
      r.dataVal = g_MPU_9150.getDeviceID();
      printf("Device ID: 0x%02X\n", r.dataVal);
      break;
    case '2':
      I2Cdev::readByte(MAGNETOMETER_ADDRESS, MAGNETOMETER_RA_WIA, &r.dataVal, 1000);
      printf("Device ID: 0x%02X\n", r.dataVal);
      break;
    case '3':
      // Streams until x, which also leaves the test.
      for (;;) {
        if (!UartQueue_Serial_Is_Empty() && ConsoleMenu_Take_Key() == kQuitKey) return true;
        g_MPU_9150.getMotion9(&r.ax, &r.ay, &r.az, &r.gx, &r.gy, &r.gz, &r.mx, &r.my, &r.mz);
        printf("ax:%6d, ay:%6d, az:%6d, gx:%6d, gy:%6d, gz:%6d, mx:%6d, my:%6d, mz:%6d\n", r.ax, r.ay, r.az, r.gx, r.gy,
               r.gz, r.mx, r.my, r.mz);
        Delay(300);
      }
    default:
      break;
  }
  return false;
}

}  // namespace

std::uint8_t SENSOR_9AXIS_Read_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data) {
  return I2C1_Sensor_Register_Read("SENSOR_9AXIS_Read_Bytes", 53, 60, devAddr, regAddr, length, data);
}

std::int8_t SENSOR_9AXIS_Write_Bytes(std::uint8_t devAddr, std::uint8_t regAddr, std::uint8_t length,
                                     std::uint8_t* data) {
  return I2C1_Sensor_Register_Write("SENSOR_9AXIS_Write_Bytes", 83, devAddr, regAddr, length, data);
}

void Test_Sensor_9Axis() {
  Readings readings = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

  DebugMsg_FunctionStart("Test_Sensor_9Axis");

  Delay(100);
  g_MPU_9150.initialize();
  printf("MPU9150 initialize done.\n");

  // The first read also switches the bypass on, which key 2 relies on.
  Delay(100);
  g_MPU_9150.getMotion9(&readings.ax, &readings.ay, &readings.az, &readings.gx, &readings.gy, &readings.gz,
                        &readings.mx, &readings.my, &readings.mz);
  printf("MPU9150 first read motion data done.\n");

  ConsoleMenu_Run<print_menu_lines, on_key>(&readings);
}
