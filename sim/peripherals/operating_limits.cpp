#include "operating_limits.h"

#include <cstdio>
#include <string>

#include "../core/stop.h"

namespace sim {

namespace {

// Indexed by voltage range 1..3.
constexpr std::uint32_t kMaxHclk[] = {0, 32'000'000, 16'000'000, 4'194'304};
constexpr std::uint32_t kMaxHclkNoWaitState[] = {0, 16'000'000, 8'000'000, 2'097'152};
constexpr std::uint32_t kMaxPllVco[] = {0, 96'000'000, 48'000'000, 24'000'000};
constexpr std::uint32_t kMinPllInput = 2'000'000;
constexpr std::uint32_t kMaxPllInput = 24'000'000;

}  // namespace

OperatingLimits::OperatingLimits(Rcc& rcc, FlashInterface& flash, Pwr& pwr)
    : rcc_(rcc),
      flash_(flash),
      pwr_(pwr),
      rccChange_(rcc.onChange([this] { check(); })),
      flashChange_(flash.onChange([this] { check(); })),
      pwrChange_(pwr.onChange([this] { check(); })) {}

void OperatingLimits::check() const {
  const unsigned range = pwr_.rangeInForce();
  const std::uint32_t hclk = rcc_.hclkHz();
  char registers[160];
  std::snprintf(registers, sizeof registers, "(RCC_CR 0x%08X, RCC_CFGR 0x%08X, FLASH_ACR 0x%08X, PWR_CR 0x%08X%s)",
                static_cast<unsigned>(rcc_.cr()), static_cast<unsigned>(rcc_.cfgr()),
                static_cast<unsigned>(flash_.acr()), static_cast<unsigned>(pwr_.cr()),
                range != pwr_.voltageRange() ? ", regulator still moving" : "");
  char what[200];
  if (hclk > kMaxHclk[range]) {
    std::snprintf(what, sizeof what, "HCLK %u Hz above the %u Hz allowed in voltage range %u",
                  static_cast<unsigned>(hclk), static_cast<unsigned>(kMaxHclk[range]), range);
  } else if (flash_.waitStates() == 0 && hclk > kMaxHclkNoWaitState[range]) {
    std::snprintf(what, sizeof what,
                  "HCLK %u Hz needs a flash wait state: without one at most %u Hz in voltage range %u",
                  static_cast<unsigned>(hclk), static_cast<unsigned>(kMaxHclkNoWaitState[range]), range);
  } else if (rcc_.pllOn() && (rcc_.pllInputHz() < kMinPllInput || rcc_.pllInputHz() > kMaxPllInput)) {
    std::snprintf(what, sizeof what, "PLL input %u Hz outside 2 to 24 MHz", static_cast<unsigned>(rcc_.pllInputHz()));
  } else if (rcc_.pllOn() && rcc_.pllVcoHz() > kMaxPllVco[range]) {
    std::snprintf(what, sizeof what, "PLL VCO %u Hz above the %u Hz allowed in voltage range %u",
                  static_cast<unsigned>(rcc_.pllVcoHz()), static_cast<unsigned>(kMaxPllVco[range]), range);
  } else {
    return;
  }
  throw Stop(StopKind::Fault, std::string("clock limits: ") + what + " " + registers);
}

}  // namespace sim
