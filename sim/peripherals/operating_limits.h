// The chip's operating limits on its clock tree, checked whenever the clock
// tree, the flash wait states or the regulator's voltage range change:
//
// - the core clock (HCLK) for the voltage range in force: 32 MHz in range 1,
//   16 MHz in range 2, 4.2 MHz in range 3;
// - the core clock for the flash wait states: without a wait state at most
//   16 MHz (range 1), 8 MHz (range 2), 2.1 MHz (range 3); one wait state is
//   needed above that (and one wait state exists only with 64-bit access);
// - a running PLL: input 2 to 24 MHz, VCO (input x PLLMUL) at most 96 MHz in
//   range 1, 48 MHz in range 2, 24 MHz in range 3.
//
// A crossing ends the run (Stop Fault) naming the registers and the limit, so
// the order in which start-up raises the clock is proven, not assumed.
#pragma once

#include "../core/listeners.h"
#include "flash_interface.h"
#include "pwr.h"
#include "rcc.h"

namespace sim {

class OperatingLimits {
 public:
  OperatingLimits(Rcc& rcc, FlashInterface& flash, Pwr& pwr);

  // Stops the run when the clock tree is outside the limits now.
  void check() const;

 private:
  Rcc& rcc_;
  FlashInterface& flash_;
  Pwr& pwr_;
  Subscription rccChange_, flashChange_, pwrChange_;
};

}  // namespace sim
