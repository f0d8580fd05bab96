// Reset and clock control operations, at register level.
#include "rcc.h"

#include "stm32l1_registers.h"

namespace {

constexpr std::uint32_t kMsiBaseHz = 32768u;  // MSI = 32,768 Hz x 2^(range + 1)

// PLL multiplier by PLLMUL code; codes above 8 are reserved and never programmed.
constexpr std::uint8_t kPllMul[16] = {3, 4, 6, 8, 12, 16, 24, 32, 48, 48, 48, 48, 48, 48, 48, 48};
// AHB prescaler by HPRE code, as a shift: 0xxx = 1, then 2, 4, 8, 16, 64, 128, 256, 512.
constexpr std::uint8_t kAhbShift[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
// APB prescalers by PPRE code, as a shift: 0xx = 1, then 2, 4, 8, 16.
constexpr std::uint8_t kApbShift[8] = {0, 0, 0, 0, 1, 2, 3, 4};

}  // namespace

void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks) {
  const std::uint32_t cfgr = RCC->CFGR;
  std::uint32_t sysclk = 0;
  switch ((cfgr & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos) {
    case RCC_CFGR_SW_MSI: {
      std::uint32_t range = (RCC->ICSCR & RCC_ICSCR_MSIRANGE) >> RCC_ICSCR_MSIRANGE_Pos;
      sysclk = kMsiBaseHz << (range + 1u);
      break;
    }
    case RCC_CFGR_SW_HSI:
      sysclk = HSI_VALUE;
      break;
    case RCC_CFGR_SW_HSE:
      sysclk = HSE_VALUE;
      break;
    default: {  // PLL
      std::uint32_t source = (cfgr & RCC_CFGR_PLLSRC) ? HSE_VALUE : HSI_VALUE;
      std::uint32_t mul = kPllMul[(cfgr & RCC_CFGR_PLLMUL) >> RCC_CFGR_PLLMUL_Pos];
      std::uint32_t div = ((cfgr & RCC_CFGR_PLLDIV) >> RCC_CFGR_PLLDIV_Pos) + 1u;
      sysclk = source * mul / div;
      break;
    }
  }
  const std::uint32_t hclk = sysclk >> kAhbShift[(cfgr & RCC_CFGR_HPRE) >> RCC_CFGR_HPRE_Pos];
  RCC_Clocks->SYSCLK_Frequency = sysclk;
  RCC_Clocks->HCLK_Frequency = hclk;
  RCC_Clocks->PCLK1_Frequency = hclk >> kApbShift[(cfgr & RCC_CFGR_PPRE1) >> RCC_CFGR_PPRE1_Pos];
  RCC_Clocks->PCLK2_Frequency = hclk >> kApbShift[(cfgr & RCC_CFGR_PPRE2) >> RCC_CFGR_PPRE2_Pos];
}

namespace {

// Sets (ENABLE) or clears the bits of `mask` in one enable or reset register.
void write_bits(IoReg<std::uint32_t>& reg, std::uint32_t mask, FunctionalState NewState) {
  reg = NewState != DISABLE ? reg | mask : reg & ~mask;
}

}  // namespace

void RCC_AHBPeriphClockCmd(std::uint32_t RCC_AHBPeriph, FunctionalState NewState) {
  write_bits(RCC->AHBENR, RCC_AHBPeriph, NewState);
}

void RCC_APB1PeriphClockCmd(std::uint32_t RCC_APB1Periph, FunctionalState NewState) {
  write_bits(RCC->APB1ENR, RCC_APB1Periph, NewState);
}

void RCC_APB2PeriphClockCmd(std::uint32_t RCC_APB2Periph, FunctionalState NewState) {
  write_bits(RCC->APB2ENR, RCC_APB2Periph, NewState);
}

void RCC_APB1PeriphResetCmd(std::uint32_t RCC_APB1Periph, FunctionalState NewState) {
  write_bits(RCC->APB1RSTR, RCC_APB1Periph, NewState);
}
