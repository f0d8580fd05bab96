// Power controller: regulator voltage range and its ready flag.
#pragma once

#include <cstdint>
#include <string>

#include "../core/bus.h"
#include "../core/clock.h"
#include "../core/listeners.h"

namespace sim {

class Pwr : public Peripheral {
 public:
  explicit Pwr(Clock& clock, Time rangeSettle = microseconds(50)) : clock_(clock), settle_(rangeSettle) {}
  std::string name() const override { return "PWR"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
  void reset() override;

  // 1, 2 or 3 (range 2, 1.5 V, after reset): the range programmed in CR VOS.
  unsigned voltageRange() const;
  // The range the core may rely on now: while the regulator moves between two
  // ranges (VOSF set), the lower-voltage one of the two.
  unsigned rangeInForce() const;
  std::uint32_t cr() const { return cr_; }
  // After every change of VOS and when the regulator has settled.
  [[nodiscard]] Subscription onChange(std::function<void()> listener) { return changed_.add(std::move(listener)); }

 private:
  Clock& clock_;
  Time settle_;
  std::uint32_t cr_ = 0x00001000u;  // VOS = range 2
  bool scaling_ = false;            // VOSF
  unsigned previousRange_ = 2;      // the range being left while scaling
  Listeners<> changed_;
  std::uint32_t csrEnables_ = 0;  // EWUP1..3 in CSR
  Clock::EventId settleEvent_ = 0;
};

}  // namespace sim
