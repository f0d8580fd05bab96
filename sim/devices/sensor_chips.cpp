#include "sensor_chips.h"

namespace sim {

namespace {
std::int16_t s16(double v) { return static_cast<std::int16_t>(v); }
}  // namespace

SensorChips::SensorChips(Clock& clock, std::function<void(Level)> pirOutput, const TimingTolerances& timing)
    : htu21_(clock, timing),
      bh17_(clock, timing),
      lps25h_(clock, timing),
      mpu9150_(clock, timing),
      pir_(clock, std::move(pirOutput)) {
  using V = const std::vector<double>&;
  values_.bind("htu21.temperature", [this](V v) { htu21_.setTemperature(v[0]); });
  values_.bind("htu21.temperature.raw", [this](V v) { htu21_.setTemperatureRaw(static_cast<std::uint16_t>(v[0])); });
  values_.bind("htu21.humidity", [this](V v) { htu21_.setHumidity(v[0]); });
  values_.bind("htu21.humidity.raw", [this](V v) { htu21_.setHumidityRaw(static_cast<std::uint16_t>(v[0])); });
  values_.bind("lps25h.pressure", [this](V v) { lps25h_.setPressure(v[0]); });
  values_.bind("lps25h.pressure.raw", [this](V v) { lps25h_.setPressureRaw(static_cast<std::int32_t>(v[0])); });
  values_.bind("lps25h.temperature", [this](V v) { lps25h_.setTemperature(v[0]); });
  values_.bind("lps25h.temperature.raw", [this](V v) { lps25h_.setTemperatureRaw(s16(v[0])); });
  values_.bind("bh17.lux", [this](V v) { bh17_.setLux(v[0]); });
  values_.bind("bh17.lux.raw", [this](V v) { bh17_.setCountRaw(static_cast<std::uint16_t>(v[0])); });
  values_.bind("mpu9150.accel", [this](V v) { mpu9150_.setAcceleration(v[0], v[1], v[2]); });
  values_.bind("mpu9150.accel.raw", [this](V v) { mpu9150_.setAccelerationRaw(s16(v[0]), s16(v[1]), s16(v[2])); });
  values_.bind("mpu9150.gyro", [this](V v) { mpu9150_.setRotation(v[0], v[1], v[2]); });
  values_.bind("mpu9150.gyro.raw", [this](V v) { mpu9150_.setRotationRaw(s16(v[0]), s16(v[1]), s16(v[2])); });
  values_.bind("mpu9150.temperature", [this](V v) { mpu9150_.setTemperature(v[0]); });
  values_.bind("mpu9150.mag", [this](V v) { mpu9150_.magnetometer().setField(v[0], v[1], v[2]); });
  values_.bind("mpu9150.mag.raw", [this](V v) { mpu9150_.magnetometer().setRaw(s16(v[0]), s16(v[1]), s16(v[2])); });
  values_.bind("pir.motion", [this](V v) { pir_.setMotion(v[0] != 0); });

  SensorNoise* noise = &values_.noise();
  htu21_.setNoise(noise);
  bh17_.setNoise(noise);
  lps25h_.setNoise(noise);
  mpu9150_.setNoise(noise);
}

std::vector<I2cTarget*> SensorChips::i2cTargets() {
  return {&mpu9150_, &mpu9150_.magnetometer(), &bh17_, &htu21_, &lps25h_};
}

}  // namespace sim
