// Reset and clock control of the virtual board: the oscillators (MSI, HSI, the
// 12 MHz crystal or its absence), the PLL, the system clock switch, the bus
// prescalers, the peripheral clock enables and the peripheral resets.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../core/bus.h"
#include "../core/clock.h"
#include "../core/listeners.h"

namespace sim {

struct RccConfig {
  bool crystal = true;                       // false: HSE never becomes ready
  Time crystalStartup = microseconds(1500);  // HSEON to HSERDY
  Time pllLock = microseconds(200);          // PLLON to PLLRDY
  Time msiStartup = microseconds(10);
  Time hsiStartup = microseconds(4);
  // Each oscillator's error from its nominal rate on this particular board,
  // in parts per billion (0: exact). Whichever drives SYSCLK sets the board's
  // clock against the outside world's (Clock::outside).
  std::int64_t msiErrorPpb = 0;
  std::int64_t hsiErrorPpb = 0;
  std::int64_t hseErrorPpb = 0;
};

class Rcc : public Peripheral {
 public:
  enum class Bus { AHB, APB1, APB2 };

  Rcc(Clock& clock, RccConfig config);

  std::string name() const override { return "RCC"; }
  std::uint32_t read(std::uint32_t offset, unsigned width) override;
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

  // Frequencies in effect now, from the registers as the hardware runs them
  // (the switch status, not the request).
  std::uint32_t sysclkHz() const;
  std::uint32_t hclkHz() const;
  std::uint32_t pclk1Hz() const;
  std::uint32_t pclk2Hz() const;
  // Timer clocks: PCLK x1 when the APB prescaler is 1, else x2.
  std::uint32_t apb1TimerHz() const;

  // Whether the peripheral clock `bit` of `bus` is enabled.
  bool clockEnabled(Bus bus, std::uint32_t bit) const;
  // Connects `peripheral` to its enable and reset bit `bit` of `bus`: it is
  // clocked while the enable bit is 1 and held in reset while the reset bit is
  // 1. This is the one clock gate of a block: the register bus asks the block
  // itself (Peripheral::clocked(), heldInReset()).
  void attach(Bus bus, std::uint32_t bit, Peripheral& peripheral);

  // Raw registers and the PLL as programmed, for the operating-limit checks.
  std::uint32_t cr() const { return cr_; }
  std::uint32_t cfgr() const { return cfgr_; }
  bool pllOn() const;
  std::uint32_t pllInputHz() const;
  // PLL input x PLLMUL (0 for a reserved multiplier code).
  std::uint32_t pllVcoHz() const;
  // After every change of the oscillators, the PLL, the clock switch or the
  // prescalers.
  [[nodiscard]] Subscription onChange(std::function<void()> listener) { return changed_.add(std::move(listener)); }

 private:
  struct Link {
    Bus bus;
    std::uint32_t bit;
    Peripheral* peripheral;
  };
  // Clock sources as SW and SWS encode them.
  enum class Source : std::uint32_t { MSI = 0, HSI = 1, HSE = 2, PLL = 3 };

  std::uint32_t registerValue(std::uint32_t slot) const;
  void writeRegister(std::uint32_t slot, std::uint32_t value);
  void writeCr(std::uint32_t value);
  void writeIcscr(std::uint32_t value);
  void writeCfgr(std::uint32_t value);
  void writeReset(Bus bus, std::uint32_t& reg, std::uint32_t value);
  void writeEnable(Bus bus, std::uint32_t& reg, std::uint32_t value);
  std::uint32_t resetBits(Bus bus) const;

  std::uint32_t sourceHz(Source source) const;
  // The oscillator behind `source` (the PLL's reference for the PLL) and its error.
  std::int64_t sourceErrorPpb(Source source) const;
  std::uint32_t pllHz() const;
  bool sourceReady(Source source) const;
  // Whether `source` feeds the system clock now or is selected to feed it,
  // directly or through the PLL: such a source cannot be switched off.
  bool sourceInUse(Source source) const;
  Source pllSource() const;
  void sourceBecameReady(std::uint32_t readyBit, std::uint32_t interruptFlag);
  void startPllIfPossible();
  // Starts the switch to the source SW selects once that source is ready.
  void applyClockSwitch();
  void updateCoreClock();

  Clock& clock_;
  RccConfig config_;
  std::uint32_t cr_;
  std::uint32_t icscr_;
  std::uint32_t cfgr_ = 0;
  std::uint32_t cir_ = 0;
  std::uint32_t ahbrstr_ = 0, apb2rstr_ = 0, apb1rstr_ = 0;
  std::uint32_t ahbenr_ = 0, apb2enr_ = 0, apb1enr_ = 0;
  std::uint32_t ahblpenr_ = 0, apb2lpenr_ = 0, apb1lpenr_ = 0;
  std::uint32_t csr_ = 0;
  std::vector<Link> links_;
  Listeners<> changed_;
  Clock::EventId hseEvent_ = 0, pllEvent_ = 0;
  Clock::EventId msiEvent_ = 0, hsiEvent_ = 0, switchEvent_ = 0;
  // Frequencies last announced to the clock (to notify only on a change).
  std::uint32_t sysclk_ = 0, hclk_ = 0, pclk1_ = 0, pclk2_ = 0;
  // The PLL's output for the CFGR it was last worked out from (a division,
  // asked for by every frame a USART sends).
  mutable std::uint32_t pllCfgr_ = 0, pllHz_ = 0;
  mutable bool pllKnown_ = false;
};

}  // namespace sim
