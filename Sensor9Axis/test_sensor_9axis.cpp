// The motion sensor's transfer glue. The clock of the external memory
// controller (unused on this board) is switched off for each transfer and on
// again only after a good one.
#include "test_sensor_9axis.h"

#include <cstdio>

#include "I2CRoutines.h"
#include "I2Cdev.h"
#include "MPU6050.h"
#include "debug.h"
#include "hw_config.h"
#include "platform.h"
#include "uart_queue.h"

namespace {

bool g_print_menu_control_flag = true;

constexpr std::uint8_t MAGNETOMETER_ADDRESS = 0x0C;
constexpr std::uint8_t MAGNETOMETER_RA_WIA = 0x00;

void print_menu_command() {
  if (g_print_menu_control_flag) {
    printf("\n---------------------\n");
    printf("Press menu key\n");
    printf("---------------------\n");
    printf("1> Get Device ID\n");
    printf("2> Get Device ID (MPU-9150 Magnetometer)\n");
    printf("3> Init & Read 9 axis data\n");
    printf("---------------------\n");
    printf("x> quit\n\n");
  }
  g_print_menu_control_flag = false;
}

}  // namespace

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

void Test_Sensor_9Axis() {
  std::uint8_t ch = 0;
  // Shown as 0 if the very first magnetometer identity read fails.
  std::uint8_t dataVal = 0;
  std::int16_t ax = 0, ay = 0, az = 0, gx = 0, gy = 0, gz = 0, mx = 0, my = 0, mz = 0;

  DebugMsg_FunctionStart("Test_Sensor_9Axis");

  Delay(100);
  g_MPU_9150.initialize();
  printf("MPU9150 initialize done.\n");

  // The first read also switches the bypass on, which key 2 relies on.
  Delay(100);
  g_MPU_9150.getMotion9(&ax, &ay, &az, &gx, &gy, &gz, &mx, &my, &mz);
  printf("MPU9150 first read motion data done.\n");

  for (;;) {
    print_menu_command();

    if (UartQueue_Serial_Is_Empty()) {
      Platform_IdleHint();
      continue;
    }

    ch = static_cast<std::uint8_t>(UartQueue_Serial_DeQueue());
    printf("%c is selected\n\n", ch);

    switch (ch) {
      case '1':
        dataVal = g_MPU_9150.getDeviceID();
        printf("Device ID: 0x%02X\n", dataVal);
        break;
      case '2':
        I2Cdev::readByte(MAGNETOMETER_ADDRESS, MAGNETOMETER_RA_WIA, &dataVal, 1000);
        printf("Device ID: 0x%02X\n", dataVal);
        break;
      case '3':
        // Streams until x, which also leaves the test.
        for (;;) {
          if (!UartQueue_Serial_Is_Empty()) {
            ch = static_cast<std::uint8_t>(UartQueue_Serial_DeQueue());
            printf("%c is selected\n\n", ch);
            if (ch == 'x') break;
          }
          g_MPU_9150.getMotion9(&ax, &ay, &az, &gx, &gy, &gz, &mx, &my, &mz);
          printf("ax:%6d, ay:%6d, az:%6d, gx:%6d, gy:%6d, gz:%6d, mx:%6d, my:%6d, mz:%6d\n", ax, ay, az, gx, gy, gz, mx,
                 my, mz);
          Delay(300);
        }
        break;
      default:
        break;
    }

    g_print_menu_control_flag = true;
    if (ch == 'x') return;
  }
}
