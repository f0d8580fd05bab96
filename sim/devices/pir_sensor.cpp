#include "pir_sensor.h"

namespace sim {

PirSensor::PirSensor(Clock& clock, std::function<void(Level)> output) : clock_(clock), outputFn_(std::move(output)) {
  outputFn_(output_);
}

PirSensor::~PirSensor() {
  if (holdEnd_ != 0) clock_.cancel(holdEnd_);
}

void PirSensor::drive(Level level) {
  if (level == output_) return;
  output_ = level;
  outputFn_(level);
}

void PirSensor::setMotion(bool motion) {
  if (motion == motion_) return;
  motion_ = motion;
  if (motion) {
    if (holdEnd_ != 0) clock_.cancel(holdEnd_), holdEnd_ = 0;
    drive(Level::High);
  } else {
    holdEnd_ = clock_.after(clock_.outside(kHoldTime), [this] {
      holdEnd_ = 0;
      drive(Level::Low);
    });
  }
}

}  // namespace sim
