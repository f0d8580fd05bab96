// Power controller: regulator voltage range and its ready flag.
#pragma once

#include <cstdint>
#include <string>

#include "../core/bus.h"
#include "../core/clock.h"

namespace sim {

class Pwr : public Peripheral {
 public:
  explicit Pwr(Clock& clock, Time rangeSettle = microseconds(50)) : clock_(clock), settle_(rangeSettle) {}
  std::string name() const override { return "PWR"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  void reset() override;

  // 1, 2 or 3 (range 2, 1.5 V, after reset).
  unsigned voltageRange() const;

 private:
  Clock& clock_;
  Time settle_;
  std::uint32_t cr_ = 0x00001000u;  // VOS = range 2
  bool scaling_ = false;            // VOSF
  std::uint32_t csrEnables_ = 0;    // EWUP1..3 in CSR
  Clock::EventId settleEvent_ = 0;
};

}  // namespace sim
