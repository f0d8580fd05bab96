// Driver of the nine-axis motion sensor: the accelerometer/gyroscope chip at
// 0x68 and, once its I2C bypass is on, the magnetometer at 0x0C behind it.
#pragma once

#include <cstdint>

class MPU6050 {
 public:
  MPU6050();

  // Gyroscope clock, smallest full scales, awake.
  void initialize();
  void setClockSource(std::uint8_t source);
  void setFullScaleGyroRange(std::uint8_t range);
  void setFullScaleAccelRange(std::uint8_t range);
  void setSleepEnabled(bool enabled);
  // WHO_AM_I bits 6..1.
  std::uint8_t getDeviceID();
  void getMotion6(std::int16_t* ax, std::int16_t* ay, std::int16_t* az, std::int16_t* gx, std::int16_t* gy,
                  std::int16_t* gz);
  // getMotion6, then one magnetometer measurement through the bypass.
  void getMotion9(std::int16_t* ax, std::int16_t* ay, std::int16_t* az, std::int16_t* gx, std::int16_t* gy,
                  std::int16_t* gz, std::int16_t* mx, std::int16_t* my, std::int16_t* mz);

 private:
  std::uint8_t devAddr;
  std::uint8_t buffer[14];
};

// The board's one motion sensor.
extern MPU6050 g_MPU_9150;
