// Clock set-up: run by the reset handler before memory is initialised (so no
// static data may be used here) and again by the board configuration.
//
// Target clock tree: 12 MHz crystal -> PLL x8 /3 = 32 MHz SYSCLK, HCLK, PCLK1 and
// PCLK2 all undivided; flash with 64-bit access, prefetch and one wait state;
// regulator in range 1 (1.8 V). Without the crystal the board stays on MSI
// (2,097,152 Hz at its reset range).
#include "system_init.h"

#include <cstdint>

#include "stm32l1_registers.h"

namespace {

// Polls of HSERDY before the crystal is given up (about 40 ms on MSI).
constexpr std::uint32_t HSE_STARTUP_TIMEOUT = 0x5000u;
// Polls for the regulator, the PLL lock and the clock switch. Each settles within
// a few hundred microseconds on a working board; a board where one does not stays
// on MSI instead of hanging in start-up.
constexpr std::uint32_t kReadyPolls = 0x10000u;

// Polls until the bits of `mask` in `reg` read `expected`; false when the budget ran out.
bool WaitForBits(const IoReg<std::uint32_t>& reg, std::uint32_t mask, std::uint32_t expected) {
  for (std::uint32_t polls = 0; polls < kReadyPolls; ++polls) {
    if ((reg & mask) == expected) return true;
  }
  return false;
}

// MSI as system clock, then the PLL and the crystal off. The PLL cannot be
// stopped while it still drives the system clock, so the switch must have
// completed first.
void SwitchBackToMsi() {
  RCC->CFGR = RCC->CFGR & ~RCC_CFGR_SW;  // SW = MSI
  (void)WaitForBits(RCC->CFGR, RCC_CFGR_SWS, RCC_CFGR_SW_MSI << RCC_CFGR_SWS_Pos);
  RCC->CR = RCC->CR & ~(RCC_CR_PLLON | RCC_CR_HSEON);
}

void SetSysClock() {
  std::uint32_t StartUpCounter = 0;
  std::uint32_t HSEStatus = 0;

  RCC->CR = RCC->CR | RCC_CR_HSEON;
  do {
    HSEStatus = RCC->CR & RCC_CR_HSERDY;
    ++StartUpCounter;
  } while (HSEStatus == 0 && StartUpCounter != HSE_STARTUP_TIMEOUT);

  HSEStatus = (RCC->CR & RCC_CR_HSERDY) != 0 ? 1u : 0u;
  if (HSEStatus != 1u) return;  // no crystal: stay on MSI

  // 32 MHz needs one flash wait state; the wait state and prefetch are only
  // available with 64-bit access, so that comes first.
  FLASH->ACR = FLASH->ACR | FLASH_ACR_ACC64;
  FLASH->ACR = FLASH->ACR | FLASH_ACR_PRFTEN;
  FLASH->ACR = FLASH->ACR | FLASH_ACR_LATENCY;

  // 32 MHz also needs the regulator at range 1 (1.8 V).
  RCC->APB1ENR = RCC->APB1ENR | RCC_APB1ENR_PWREN;
  PWR->CR = PWR_CR_VOS_RANGE1;  // plain write: no read of the block right after its clock came on
  if (!WaitForBits(PWR->CSR, PWR_CSR_VOSF, 0)) {
    SwitchBackToMsi();
    return;
  }

  RCC->CFGR = RCC->CFGR & ~RCC_CFGR_HPRE;   // HCLK = SYSCLK
  RCC->CFGR = RCC->CFGR & ~RCC_CFGR_PPRE2;  // PCLK2 = HCLK
  RCC->CFGR = RCC->CFGR & ~RCC_CFGR_PPRE1;  // PCLK1 = HCLK

  // PLL = HSE x 8 / 3 = 32 MHz.
  RCC->CFGR = (RCC->CFGR & ~(RCC_CFGR_PLLSRC | RCC_CFGR_PLLMUL | RCC_CFGR_PLLDIV)) | RCC_CFGR_PLLSRC |
              RCC_CFGR_PLLMUL8 | RCC_CFGR_PLLDIV3;
  RCC->CR = RCC->CR | RCC_CR_PLLON;
  if (!WaitForBits(RCC->CR, RCC_CR_PLLRDY, RCC_CR_PLLRDY)) {
    SwitchBackToMsi();
    return;
  }

  RCC->CFGR = (RCC->CFGR & ~RCC_CFGR_SW) | RCC_CFGR_SW_PLL;
  if (!WaitForBits(RCC->CFGR, RCC_CFGR_SWS, RCC_CFGR_SWS_PLL)) {
    SwitchBackToMsi();
  }
}

}  // namespace

extern "C" void SystemInit(void) {
  // Back to the reset state of the clock system. MSI must run and be the system
  // clock before the PLL and the crystal are stopped: when this runs a second
  // time, the system clock still comes from the PLL.
  RCC->CR = RCC->CR | RCC_CR_MSION;
  (void)WaitForBits(RCC->CR, RCC_CR_MSIRDY, RCC_CR_MSIRDY);
  // SW = MSI, AHB and APB dividers 1, clock output off.
  RCC->CFGR =
      RCC->CFGR & ~(RCC_CFGR_SW | RCC_CFGR_HPRE | RCC_CFGR_PPRE1 | RCC_CFGR_PPRE2 | RCC_CFGR_MCOSEL | RCC_CFGR_MCOPRE);
  (void)WaitForBits(RCC->CFGR, RCC_CFGR_SWS, RCC_CFGR_SW_MSI << RCC_CFGR_SWS_Pos);
  RCC->CR = RCC->CR & ~(RCC_CR_HSION | RCC_CR_HSEON | RCC_CR_CSSON | RCC_CR_PLLON);
  RCC->CR = RCC->CR & ~RCC_CR_HSEBYP;  // only writable once the HSE is off
  RCC->CFGR = RCC->CFGR & ~(RCC_CFGR_PLLSRC | RCC_CFGR_PLLMUL | RCC_CFGR_PLLDIV);
  RCC->CIR = 0;  // no clock interrupts

  SetSysClock();

  SCB->VTOR = FLASH_BASE;  // vector table at the start of flash
}
