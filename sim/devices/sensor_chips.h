// The sensor chips of the board and the physical values they see, wired
// together: each chip takes its values from the board's value registry, and
// all share one seeded noise source.
#pragma once

#include <functional>
#include <vector>

#include "bh17.h"
#include "htu21.h"
#include "lps25h.h"
#include "mpu9150.h"
#include "pir_sensor.h"
#include "sensor_values.h"

namespace sim {

class SensorChips {
 public:
  // `pirOutput` receives the PIR sensor's output level (the board drives PH2
  // with it). Each chip draws its conversion and wake-up times from `timing`.
  SensorChips(Clock& clock, std::function<void(Level)> pirOutput, const TimingTolerances& timing = TimingTolerances{});

  SensorValues& values() { return values_; }
  Htu21& htu21() { return htu21_; }
  Bh17& bh17() { return bh17_; }
  Lps25h& lps25h() { return lps25h_; }
  Mpu9150& mpu9150() { return mpu9150_; }
  PirSensor& pir() { return pir_; }

  // Every chip on I2C1, the magnetometer behind the motion sensor included.
  std::vector<I2cTarget*> i2cTargets();

 private:
  SensorValues values_;
  Htu21 htu21_;
  Bh17 bh17_;
  Lps25h lps25h_;
  Mpu9150 mpu9150_;
  PirSensor pir_;
};

}  // namespace sim
