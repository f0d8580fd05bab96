// AMN4xx1 passive-infrared motion sensor, its digital output on PH2.
//
// The output goes high as soon as motion is seen, stays high while motion goes
// on, and drops back low a hold time after the last motion. Its output stage
// drives the line both ways, so the input needs no pull resistor.
#pragma once

#include <functional>

#include "../core/clock.h"
#include "../core/net.h"

namespace sim {

class PirSensor {
 public:
  // The sensor's data give the hold time no range, so a timing seed leaves
  // it as it is.
  static constexpr Time kHoldTime = seconds(2);

  // `output` is called with each new level of the sensor's output, and at once
  // with its level at power-on, low.
  PirSensor(Clock& clock, std::function<void(Level)> output);
  ~PirSensor();
  PirSensor(const PirSensor&) = delete;
  PirSensor& operator=(const PirSensor&) = delete;

  void setMotion(bool motion);
  bool motion() const { return motion_; }
  Level output() const { return output_; }

 private:
  void drive(Level level);

  Clock& clock_;
  std::function<void(Level)> outputFn_;
  bool motion_ = false;
  Level output_ = Level::Low;
  Clock::EventId holdEnd_ = 0;
};

}  // namespace sim
