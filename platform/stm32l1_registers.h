// Register blocks of the STM32L1 medium-density chip and of the Cortex-M3 core
// that this firmware uses, with the chip's exact layout and base addresses
// (reference manual memory map), and the named bits the firmware and the virtual board use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io_reg.h"

// ---------------------------------------------------------------- memory map
inline constexpr std::uint32_t FLASH_BASE = 0x08000000u;
inline constexpr std::uint32_t SRAM_BASE = 0x20000000u;
inline constexpr std::uint32_t PERIPH_BASE = 0x40000000u;

inline constexpr std::uint32_t TIM2_BASE = 0x40000000u;
inline constexpr std::uint32_t USART3_BASE = 0x40004800u;
inline constexpr std::uint32_t I2C1_BASE = 0x40005400u;
inline constexpr std::uint32_t I2C2_BASE = 0x40005800u;
inline constexpr std::uint32_t PWR_BASE = 0x40007000u;
inline constexpr std::uint32_t SYSCFG_BASE = 0x40010000u;
inline constexpr std::uint32_t USART1_BASE = 0x40013800u;
inline constexpr std::uint32_t GPIOA_BASE = 0x40020000u;
inline constexpr std::uint32_t GPIOB_BASE = 0x40020400u;
inline constexpr std::uint32_t GPIOC_BASE = 0x40020800u;
inline constexpr std::uint32_t GPIOD_BASE = 0x40020C00u;
inline constexpr std::uint32_t GPIOE_BASE = 0x40021000u;
inline constexpr std::uint32_t GPIOH_BASE = 0x40021400u;
inline constexpr std::uint32_t RCC_BASE = 0x40023800u;
inline constexpr std::uint32_t FLASH_R_BASE = 0x40023C00u;  // flash interface registers
inline constexpr std::uint32_t PERIPH_END = 0x40024000u;    // end of the blocks in use

inline constexpr std::uint32_t SCS_BASE = 0xE000E000u;  // system control space
inline constexpr std::uint32_t SysTick_BASE = 0xE000E010u;
inline constexpr std::uint32_t NVIC_BASE = 0xE000E100u;
inline constexpr std::uint32_t SCB_BASE = 0xE000ED00u;
inline constexpr std::uint32_t SCS_END = 0xE000F000u;

// ---------------------------------------------------------------- RCC
struct RCC_TypeDef {
  IoReg<std::uint32_t> CR;         // 0x00
  IoReg<std::uint32_t> ICSCR;      // 0x04
  IoReg<std::uint32_t> CFGR;       // 0x08
  IoReg<std::uint32_t> CIR;        // 0x0C
  IoReg<std::uint32_t> AHBRSTR;    // 0x10
  IoReg<std::uint32_t> APB2RSTR;   // 0x14
  IoReg<std::uint32_t> APB1RSTR;   // 0x18
  IoReg<std::uint32_t> AHBENR;     // 0x1C
  IoReg<std::uint32_t> APB2ENR;    // 0x20
  IoReg<std::uint32_t> APB1ENR;    // 0x24
  IoReg<std::uint32_t> AHBLPENR;   // 0x28
  IoReg<std::uint32_t> APB2LPENR;  // 0x2C
  IoReg<std::uint32_t> APB1LPENR;  // 0x30
  IoReg<std::uint32_t> CSR;        // 0x34
};
static_assert(offsetof(RCC_TypeDef, ICSCR) == 0x04);
static_assert(offsetof(RCC_TypeDef, CFGR) == 0x08);
static_assert(offsetof(RCC_TypeDef, APB1RSTR) == 0x18);
static_assert(offsetof(RCC_TypeDef, AHBENR) == 0x1C);
static_assert(offsetof(RCC_TypeDef, APB1ENR) == 0x24);
static_assert(offsetof(RCC_TypeDef, CSR) == 0x34);

// RCC_CR
inline constexpr std::uint32_t RCC_CR_HSION = 1u << 0;
inline constexpr std::uint32_t RCC_CR_HSIRDY = 1u << 1;
inline constexpr std::uint32_t RCC_CR_MSION = 1u << 8;
inline constexpr std::uint32_t RCC_CR_MSIRDY = 1u << 9;
inline constexpr std::uint32_t RCC_CR_HSEON = 1u << 16;
inline constexpr std::uint32_t RCC_CR_HSERDY = 1u << 17;
inline constexpr std::uint32_t RCC_CR_HSEBYP = 1u << 18;
inline constexpr std::uint32_t RCC_CR_PLLON = 1u << 24;
inline constexpr std::uint32_t RCC_CR_PLLRDY = 1u << 25;
inline constexpr std::uint32_t RCC_CR_CSSON = 1u << 28;
inline constexpr std::uint32_t RCC_CR_RTCPRE = 3u << 29;
// RCC_ICSCR
inline constexpr std::uint32_t RCC_ICSCR_HSITRIM_Pos = 8;
inline constexpr std::uint32_t RCC_ICSCR_HSITRIM = 0x1Fu << RCC_ICSCR_HSITRIM_Pos;
inline constexpr std::uint32_t RCC_ICSCR_MSIRANGE_Pos = 13;
inline constexpr std::uint32_t RCC_ICSCR_MSIRANGE = 7u << RCC_ICSCR_MSIRANGE_Pos;
inline constexpr std::uint32_t RCC_ICSCR_MSITRIM = 0xFFu << 24;
// RCC_CFGR
inline constexpr std::uint32_t RCC_CFGR_SW = 3u << 0;
inline constexpr std::uint32_t RCC_CFGR_SW_MSI = 0u;
inline constexpr std::uint32_t RCC_CFGR_SW_HSI = 1u;
inline constexpr std::uint32_t RCC_CFGR_SW_HSE = 2u;
inline constexpr std::uint32_t RCC_CFGR_SW_PLL = 3u;
inline constexpr std::uint32_t RCC_CFGR_SWS_Pos = 2;
inline constexpr std::uint32_t RCC_CFGR_SWS = 3u << RCC_CFGR_SWS_Pos;
inline constexpr std::uint32_t RCC_CFGR_SWS_PLL = 3u << RCC_CFGR_SWS_Pos;
inline constexpr std::uint32_t RCC_CFGR_HPRE_Pos = 4;
inline constexpr std::uint32_t RCC_CFGR_HPRE = 0xFu << RCC_CFGR_HPRE_Pos;
inline constexpr std::uint32_t RCC_CFGR_PPRE1_Pos = 8;
inline constexpr std::uint32_t RCC_CFGR_PPRE1 = 7u << RCC_CFGR_PPRE1_Pos;
inline constexpr std::uint32_t RCC_CFGR_PPRE2_Pos = 11;
inline constexpr std::uint32_t RCC_CFGR_PPRE2 = 7u << RCC_CFGR_PPRE2_Pos;
inline constexpr std::uint32_t RCC_CFGR_PLLSRC = 1u << 16;  // 0: HSI, 1: HSE
inline constexpr std::uint32_t RCC_CFGR_PLLMUL_Pos = 18;
inline constexpr std::uint32_t RCC_CFGR_PLLMUL = 0xFu << RCC_CFGR_PLLMUL_Pos;
inline constexpr std::uint32_t RCC_CFGR_PLLMUL8 = 3u << RCC_CFGR_PLLMUL_Pos;
inline constexpr std::uint32_t RCC_CFGR_PLLDIV_Pos = 22;
inline constexpr std::uint32_t RCC_CFGR_PLLDIV = 3u << RCC_CFGR_PLLDIV_Pos;
inline constexpr std::uint32_t RCC_CFGR_PLLDIV3 = 2u << RCC_CFGR_PLLDIV_Pos;
inline constexpr std::uint32_t RCC_CFGR_MCOSEL = 7u << 24;
inline constexpr std::uint32_t RCC_CFGR_MCOPRE = 7u << 28;
// RCC_CIR: ready interrupt flags
inline constexpr std::uint32_t RCC_CIR_HSIRDYF = 1u << 2;
inline constexpr std::uint32_t RCC_CIR_HSERDYF = 1u << 3;
inline constexpr std::uint32_t RCC_CIR_PLLRDYF = 1u << 4;
inline constexpr std::uint32_t RCC_CIR_MSIRDYF = 1u << 5;
// RCC_AHBENR: the GPIO ports' clocks; the flash interface clock, on after reset
inline constexpr std::uint32_t RCC_AHBENR_GPIOAEN = 1u << 0;
inline constexpr std::uint32_t RCC_AHBENR_GPIOBEN = 1u << 1;
inline constexpr std::uint32_t RCC_AHBENR_GPIOCEN = 1u << 2;
inline constexpr std::uint32_t RCC_AHBENR_GPIODEN = 1u << 3;
inline constexpr std::uint32_t RCC_AHBENR_GPIOEEN = 1u << 4;
inline constexpr std::uint32_t RCC_AHBENR_GPIOHEN = 1u << 5;
inline constexpr std::uint32_t RCC_AHBENR_FLITFEN = 1u << 15;
// RCC_APB1ENR (the same bit positions in RCC_APB1RSTR)
inline constexpr std::uint32_t RCC_APB1ENR_TIM2EN = 1u << 0;
inline constexpr std::uint32_t RCC_APB1ENR_USART3EN = 1u << 18;
inline constexpr std::uint32_t RCC_APB1ENR_I2C1EN = 1u << 21;
inline constexpr std::uint32_t RCC_APB1ENR_I2C2EN = 1u << 22;
inline constexpr std::uint32_t RCC_APB1ENR_PWREN = 1u << 28;
// RCC_APB2ENR (the same bit positions in RCC_APB2RSTR)
inline constexpr std::uint32_t RCC_APB2ENR_USART1EN = 1u << 14;
// RCC_CSR
inline constexpr std::uint32_t RCC_CSR_LSION = 1u << 0;
inline constexpr std::uint32_t RCC_CSR_LSIRDY = 1u << 1;
inline constexpr std::uint32_t RCC_CSR_RMVF = 1u << 24;  // write 1: clear the reset flags

// ---------------------------------------------------------------- FLASH
struct FLASH_TypeDef {
  IoReg<std::uint32_t> ACR;      // 0x00
  IoReg<std::uint32_t> PECR;     // 0x04
  IoReg<std::uint32_t> PDKEYR;   // 0x08
  IoReg<std::uint32_t> PEKEYR;   // 0x0C
  IoReg<std::uint32_t> PRGKEYR;  // 0x10
  IoReg<std::uint32_t> OPTKEYR;  // 0x14
  IoReg<std::uint32_t> SR;       // 0x18
  IoReg<std::uint32_t> OBR;      // 0x1C
  IoReg<std::uint32_t> WRPR;     // 0x20
};
static_assert(offsetof(FLASH_TypeDef, SR) == 0x18);
static_assert(offsetof(FLASH_TypeDef, WRPR) == 0x20);

inline constexpr std::uint32_t FLASH_ACR_LATENCY = 1u << 0;
inline constexpr std::uint32_t FLASH_ACR_PRFTEN = 1u << 1;
inline constexpr std::uint32_t FLASH_ACR_ACC64 = 1u << 2;
inline constexpr std::uint32_t FLASH_ACR_SLEEP_PD = 1u << 3;  // flash in power-down while sleeping
inline constexpr std::uint32_t FLASH_ACR_RUN_PD = 1u << 4;    // flash in power-down while running

// ---------------------------------------------------------------- PWR
struct PWR_TypeDef {
  IoReg<std::uint32_t> CR;   // 0x00
  IoReg<std::uint32_t> CSR;  // 0x04
};
static_assert(offsetof(PWR_TypeDef, CSR) == 0x04);

inline constexpr std::uint32_t PWR_CR_CWUF = 1u << 2;  // write 1: clear the wake-up flag
inline constexpr std::uint32_t PWR_CR_CSBF = 1u << 3;  // write 1: clear the standby flag
inline constexpr std::uint32_t PWR_CR_VOS_Pos = 11;
inline constexpr std::uint32_t PWR_CR_VOS = 3u << PWR_CR_VOS_Pos;
inline constexpr std::uint32_t PWR_CR_VOS_RANGE1 = 1u << PWR_CR_VOS_Pos;  // 1.8 V
inline constexpr std::uint32_t PWR_CSR_VREFINTRDYF = 1u << 3;             // internal reference ready
inline constexpr std::uint32_t PWR_CSR_VOSF = 1u << 4;                    // voltage scaling still in progress
inline constexpr std::uint32_t PWR_CSR_EWUP = 7u << 8;                    // EWUP1..EWUP3: wake-up pins enabled

// ---------------------------------------------------------------- GPIO
struct GPIO_TypeDef {
  IoReg<std::uint32_t> MODER;    // 0x00: 2 bits a pin
  IoReg<std::uint32_t> OTYPER;   // 0x04: 1 bit a pin
  IoReg<std::uint32_t> OSPEEDR;  // 0x08: 2 bits a pin
  IoReg<std::uint32_t> PUPDR;    // 0x0C: 2 bits a pin
  IoReg<std::uint32_t> IDR;      // 0x10
  IoReg<std::uint32_t> ODR;      // 0x14
  IoReg<std::uint32_t> BSRR;     // 0x18: low half sets, high half resets
  IoReg<std::uint32_t> LCKR;     // 0x1C
  IoReg<std::uint32_t> AFR[2];   // 0x20, 0x24: 4 bits a pin
};
static_assert(offsetof(GPIO_TypeDef, IDR) == 0x10);
static_assert(offsetof(GPIO_TypeDef, BSRR) == 0x18);
static_assert(offsetof(GPIO_TypeDef, AFR) == 0x20);
static_assert(sizeof(GPIO_TypeDef) == 0x28);

// ---------------------------------------------------------------- USART
struct USART_TypeDef {
  IoReg<std::uint16_t> SR;  // 0x00
  std::uint16_t reserved0;
  IoReg<std::uint16_t> DR;  // 0x04
  std::uint16_t reserved1;
  IoReg<std::uint16_t> BRR;  // 0x08
  std::uint16_t reserved2;
  IoReg<std::uint16_t> CR1;  // 0x0C
  std::uint16_t reserved3;
  IoReg<std::uint16_t> CR2;  // 0x10
  std::uint16_t reserved4;
  IoReg<std::uint16_t> CR3;  // 0x14
  std::uint16_t reserved5;
  IoReg<std::uint16_t> GTPR;  // 0x18
  std::uint16_t reserved6;
};
static_assert(offsetof(USART_TypeDef, DR) == 0x04);
static_assert(offsetof(USART_TypeDef, BRR) == 0x08);
static_assert(offsetof(USART_TypeDef, CR1) == 0x0C);
static_assert(offsetof(USART_TypeDef, GTPR) == 0x18);

inline constexpr std::uint16_t USART_SR_PE = 1u << 0;
inline constexpr std::uint16_t USART_SR_FE = 1u << 1;
inline constexpr std::uint16_t USART_SR_NE = 1u << 2;
inline constexpr std::uint16_t USART_SR_ORE = 1u << 3;
inline constexpr std::uint16_t USART_SR_IDLE = 1u << 4;
inline constexpr std::uint16_t USART_SR_RXNE = 1u << 5;
inline constexpr std::uint16_t USART_SR_TC = 1u << 6;
inline constexpr std::uint16_t USART_SR_TXE = 1u << 7;
inline constexpr std::uint16_t USART_CR1_RE = 1u << 2;
inline constexpr std::uint16_t USART_CR1_TE = 1u << 3;
inline constexpr std::uint16_t USART_CR1_RXNEIE = 1u << 5;
inline constexpr std::uint16_t USART_CR1_TCIE = 1u << 6;
inline constexpr std::uint16_t USART_CR1_TXEIE = 1u << 7;
inline constexpr std::uint16_t USART_CR1_PS = 1u << 9;
inline constexpr std::uint16_t USART_CR1_PCE = 1u << 10;
inline constexpr std::uint16_t USART_CR1_M = 1u << 12;
inline constexpr std::uint16_t USART_CR1_UE = 1u << 13;
inline constexpr std::uint16_t USART_CR1_OVER8 = 1u << 15;
inline constexpr std::uint32_t USART_CR2_STOP_Pos = 12;
inline constexpr std::uint16_t USART_CR2_STOP = 3u << USART_CR2_STOP_Pos;
inline constexpr std::uint16_t USART_CR3_RTSE = 1u << 8;
inline constexpr std::uint16_t USART_CR3_CTSE = 1u << 9;

// ---------------------------------------------------------------- I2C
struct I2C_TypeDef {
  IoReg<std::uint16_t> CR1;  // 0x00
  std::uint16_t reserved0;
  IoReg<std::uint16_t> CR2;  // 0x04
  std::uint16_t reserved1;
  IoReg<std::uint16_t> OAR1;  // 0x08
  std::uint16_t reserved2;
  IoReg<std::uint16_t> OAR2;  // 0x0C
  std::uint16_t reserved3;
  IoReg<std::uint16_t> DR;  // 0x10
  std::uint16_t reserved4;
  IoReg<std::uint16_t> SR1;  // 0x14
  std::uint16_t reserved5;
  IoReg<std::uint16_t> SR2;  // 0x18
  std::uint16_t reserved6;
  IoReg<std::uint16_t> CCR;  // 0x1C
  std::uint16_t reserved7;
  IoReg<std::uint16_t> TRISE;  // 0x20
  std::uint16_t reserved8;
};
static_assert(offsetof(I2C_TypeDef, DR) == 0x10);
static_assert(offsetof(I2C_TypeDef, SR1) == 0x14);
static_assert(offsetof(I2C_TypeDef, CCR) == 0x1C);
static_assert(offsetof(I2C_TypeDef, TRISE) == 0x20);

inline constexpr std::uint16_t I2C_CR1_PE = 0x0001;
inline constexpr std::uint16_t I2C_CR1_SMBUS = 0x0002;
inline constexpr std::uint16_t I2C_CR1_SMBTYPE = 0x0008;
inline constexpr std::uint16_t I2C_CR1_START = 0x0100;
inline constexpr std::uint16_t I2C_CR1_STOP = 0x0200;
inline constexpr std::uint16_t I2C_CR1_ACK = 0x0400;
inline constexpr std::uint16_t I2C_CR1_POS = 0x0800;
inline constexpr std::uint16_t I2C_CR1_SWRST = 0x8000;
inline constexpr std::uint16_t I2C_CR2_FREQ = 0x003F;
inline constexpr std::uint16_t I2C_CR2_ITERREN = 0x0100;
inline constexpr std::uint16_t I2C_CR2_ITEVTEN = 0x0200;
inline constexpr std::uint16_t I2C_CR2_ITBUFEN = 0x0400;
inline constexpr std::uint16_t I2C_SR1_SB = 0x0001;
inline constexpr std::uint16_t I2C_SR1_ADDR = 0x0002;
inline constexpr std::uint16_t I2C_SR1_BTF = 0x0004;
inline constexpr std::uint16_t I2C_SR1_STOPF = 0x0010;
inline constexpr std::uint16_t I2C_SR1_RXNE = 0x0040;
inline constexpr std::uint16_t I2C_SR1_TXE = 0x0080;
inline constexpr std::uint16_t I2C_SR1_BERR = 0x0100;
inline constexpr std::uint16_t I2C_SR1_ARLO = 0x0200;
inline constexpr std::uint16_t I2C_SR1_AF = 0x0400;
inline constexpr std::uint16_t I2C_SR1_OVR = 0x0800;
inline constexpr std::uint16_t I2C_SR2_MSL = 0x0001;
inline constexpr std::uint16_t I2C_SR2_BUSY = 0x0002;
inline constexpr std::uint16_t I2C_CCR_CCR = 0x0FFF;
inline constexpr std::uint16_t I2C_CCR_DUTY = 0x4000;
inline constexpr std::uint16_t I2C_CCR_FS = 0x8000;
inline constexpr std::uint16_t I2C_TRISE_TRISE = 0x003F;

// ---------------------------------------------------------------- TIM (general purpose)
struct TIM_TypeDef {
  IoReg<std::uint16_t> CR1;  // 0x00
  std::uint16_t reserved0;
  IoReg<std::uint16_t> CR2;  // 0x04
  std::uint16_t reserved1;
  IoReg<std::uint16_t> SMCR;  // 0x08
  std::uint16_t reserved2;
  IoReg<std::uint16_t> DIER;  // 0x0C
  std::uint16_t reserved3;
  IoReg<std::uint16_t> SR;  // 0x10
  std::uint16_t reserved4;
  IoReg<std::uint16_t> EGR;  // 0x14
  std::uint16_t reserved5;
  IoReg<std::uint16_t> CCMR1;  // 0x18
  std::uint16_t reserved6;
  IoReg<std::uint16_t> CCMR2;  // 0x1C
  std::uint16_t reserved7;
  IoReg<std::uint16_t> CCER;  // 0x20
  std::uint16_t reserved8;
  IoReg<std::uint16_t> CNT;  // 0x24
  std::uint16_t reserved9;
  IoReg<std::uint16_t> PSC;  // 0x28
  std::uint16_t reserved10;
  IoReg<std::uint16_t> ARR;  // 0x2C
  std::uint16_t reserved11;
  std::uint32_t reserved12;   // 0x30
  IoReg<std::uint16_t> CCR1;  // 0x34
  std::uint16_t reserved13;
  IoReg<std::uint16_t> CCR2;  // 0x38
  std::uint16_t reserved14;
  IoReg<std::uint16_t> CCR3;  // 0x3C
  std::uint16_t reserved15;
  IoReg<std::uint16_t> CCR4;  // 0x40
  std::uint16_t reserved16;
  std::uint32_t reserved17;  // 0x44
  IoReg<std::uint16_t> DCR;  // 0x48
  std::uint16_t reserved18;
  IoReg<std::uint16_t> DMAR;  // 0x4C
  std::uint16_t reserved19;
  IoReg<std::uint16_t> OR;  // 0x50
  std::uint16_t reserved20;
};
static_assert(offsetof(TIM_TypeDef, SR) == 0x10);
static_assert(offsetof(TIM_TypeDef, CNT) == 0x24);
static_assert(offsetof(TIM_TypeDef, PSC) == 0x28);
static_assert(offsetof(TIM_TypeDef, ARR) == 0x2C);
static_assert(offsetof(TIM_TypeDef, CCR1) == 0x34);
static_assert(offsetof(TIM_TypeDef, DCR) == 0x48);
static_assert(offsetof(TIM_TypeDef, OR) == 0x50);

inline constexpr std::uint16_t TIM_CR1_CEN = 1u << 0;
inline constexpr std::uint16_t TIM_CR1_UDIS = 1u << 1;
inline constexpr std::uint16_t TIM_CR1_URS = 1u << 2;
inline constexpr std::uint16_t TIM_CR1_OPM = 1u << 3;
inline constexpr std::uint16_t TIM_CR1_DIR = 1u << 4;
inline constexpr std::uint16_t TIM_CR1_CMS = 3u << 5;
inline constexpr std::uint16_t TIM_CR1_ARPE = 1u << 7;
inline constexpr std::uint16_t TIM_CR1_CKD = 3u << 8;
inline constexpr std::uint16_t TIM_DIER_UIE = 1u << 0;
inline constexpr std::uint16_t TIM_SR_UIF = 1u << 0;
inline constexpr std::uint16_t TIM_EGR_UG = 1u << 0;

// ---------------------------------------------------------------- Cortex-M3 SysTick
struct SysTick_TypeDef {
  IoReg<std::uint32_t> CTRL;   // 0x00
  IoReg<std::uint32_t> LOAD;   // 0x04
  IoReg<std::uint32_t> VAL;    // 0x08
  IoReg<std::uint32_t> CALIB;  // 0x0C
};
static_assert(offsetof(SysTick_TypeDef, CALIB) == 0x0C);

inline constexpr std::uint32_t SysTick_CTRL_ENABLE = 1u << 0;
inline constexpr std::uint32_t SysTick_CTRL_TICKINT = 1u << 1;
inline constexpr std::uint32_t SysTick_CTRL_CLKSOURCE = 1u << 2;  // 1: core clock
inline constexpr std::uint32_t SysTick_CTRL_COUNTFLAG = 1u << 16;
inline constexpr std::uint32_t SysTick_LOAD_RELOAD = 0x00FFFFFFu;
inline constexpr std::uint32_t SysTick_CALIB_SKEW = 1u << 30;  // TENMS is not an exact 10 ms

// ---------------------------------------------------------------- Cortex-M3 NVIC
struct NVIC_TypeDef {
  IoReg<std::uint32_t> ISER[8];  // 0x000
  std::uint32_t reserved0[24];
  IoReg<std::uint32_t> ICER[8];  // 0x080
  std::uint32_t reserved1[24];
  IoReg<std::uint32_t> ISPR[8];  // 0x100
  std::uint32_t reserved2[24];
  IoReg<std::uint32_t> ICPR[8];  // 0x180
  std::uint32_t reserved3[24];
  IoReg<std::uint32_t> IABR[8];  // 0x200
  std::uint32_t reserved4[56];
  IoReg<std::uint8_t> IP[240];  // 0x300: one priority byte a line, 4 bits implemented
  std::uint32_t reserved5[644];
  IoReg<std::uint32_t> STIR;  // 0xE00
};
static_assert(offsetof(NVIC_TypeDef, ICER) == 0x080);
static_assert(offsetof(NVIC_TypeDef, ISPR) == 0x100);
static_assert(offsetof(NVIC_TypeDef, ICPR) == 0x180);
static_assert(offsetof(NVIC_TypeDef, IABR) == 0x200);
static_assert(offsetof(NVIC_TypeDef, IP) == 0x300);
static_assert(offsetof(NVIC_TypeDef, STIR) == 0xE00);

// ---------------------------------------------------------------- Cortex-M3 system control block
struct SCB_TypeDef {
  IoReg<std::uint32_t> CPUID;    // 0x00
  IoReg<std::uint32_t> ICSR;     // 0x04
  IoReg<std::uint32_t> VTOR;     // 0x08
  IoReg<std::uint32_t> AIRCR;    // 0x0C
  IoReg<std::uint32_t> SCR;      // 0x10
  IoReg<std::uint32_t> CCR;      // 0x14
  IoReg<std::uint8_t> SHPR[12];  // 0x18: priorities of system handlers 4..15
  IoReg<std::uint32_t> SHCSR;    // 0x24
  IoReg<std::uint32_t> CFSR;     // 0x28
  IoReg<std::uint32_t> HFSR;     // 0x2C
  IoReg<std::uint32_t> DFSR;     // 0x30
  IoReg<std::uint32_t> MMFAR;    // 0x34
  IoReg<std::uint32_t> BFAR;     // 0x38
  IoReg<std::uint32_t> AFSR;     // 0x3C
};
static_assert(offsetof(SCB_TypeDef, VTOR) == 0x08);
static_assert(offsetof(SCB_TypeDef, AIRCR) == 0x0C);
static_assert(offsetof(SCB_TypeDef, SHPR) == 0x18);
static_assert(offsetof(SCB_TypeDef, SHCSR) == 0x24);
static_assert(offsetof(SCB_TypeDef, AFSR) == 0x3C);

inline constexpr std::uint32_t SCB_ICSR_VECTACTIVE = 0x1FFu;  // exception number being handled
inline constexpr std::uint32_t SCB_ICSR_PENDSTCLR = 1u << 25;
inline constexpr std::uint32_t SCB_ICSR_PENDSTSET = 1u << 26;
inline constexpr std::uint32_t SCB_ICSR_PENDSVCLR = 1u << 27;
inline constexpr std::uint32_t SCB_ICSR_PENDSVSET = 1u << 28;
inline constexpr std::uint32_t SCB_AIRCR_SYSRESETREQ = 1u << 2;
inline constexpr std::uint32_t SCB_AIRCR_VECTKEY = 0x05FAu << 16;  // must accompany every write
inline constexpr std::uint32_t SCB_AIRCR_VECTKEY_Msk = 0xFFFFu << 16;
inline constexpr std::uint32_t SCB_AIRCR_PRIGROUP_Pos = 8;
inline constexpr std::uint32_t SCB_AIRCR_PRIGROUP = 7u << SCB_AIRCR_PRIGROUP_Pos;
inline constexpr std::uint32_t SCB_VTOR_TBLOFF = 0x1FFFFF80u;
inline constexpr std::uint32_t NVIC_PRIO_BITS = 4;  // implemented priority bits on this chip

// ---------------------------------------------------------------- instances
#define RCC TL500_REG_BLOCK(RCC_TypeDef, RCC_BASE)
#define FLASH TL500_REG_BLOCK(FLASH_TypeDef, FLASH_R_BASE)
#define PWR TL500_REG_BLOCK(PWR_TypeDef, PWR_BASE)
#define GPIOA TL500_REG_BLOCK(GPIO_TypeDef, GPIOA_BASE)
#define GPIOB TL500_REG_BLOCK(GPIO_TypeDef, GPIOB_BASE)
#define GPIOC TL500_REG_BLOCK(GPIO_TypeDef, GPIOC_BASE)
#define GPIOD TL500_REG_BLOCK(GPIO_TypeDef, GPIOD_BASE)
#define GPIOE TL500_REG_BLOCK(GPIO_TypeDef, GPIOE_BASE)
#define GPIOH TL500_REG_BLOCK(GPIO_TypeDef, GPIOH_BASE)
#define USART1 TL500_REG_BLOCK(USART_TypeDef, USART1_BASE)
#define USART3 TL500_REG_BLOCK(USART_TypeDef, USART3_BASE)
#define I2C1 TL500_REG_BLOCK(I2C_TypeDef, I2C1_BASE)
#define I2C2 TL500_REG_BLOCK(I2C_TypeDef, I2C2_BASE)
#define TIM2 TL500_REG_BLOCK(TIM_TypeDef, TIM2_BASE)
#define SysTick TL500_REG_BLOCK(SysTick_TypeDef, SysTick_BASE)
#define NVIC TL500_REG_BLOCK(NVIC_TypeDef, NVIC_BASE)
#define SCB TL500_REG_BLOCK(SCB_TypeDef, SCB_BASE)
