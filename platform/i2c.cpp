// I2C operations, at register level.
#include "i2c.h"

#include "rcc.h"

namespace {
constexpr std::uint32_t kStandardModeMaxHz = 100000u;
constexpr std::uint16_t kCr1ClearMask = I2C_CR1_SMBUS | I2C_CR1_SMBTYPE | I2C_CR1_ACK;  // 0x040A
}  // namespace

void I2C_Init(I2C_TypeDef* I2Cx, I2C_InitTypeDef* I2C_InitStruct) {
  RCC_ClocksTypeDef clocks;
  RCC_GetClocksFreq(&clocks);
  const std::uint32_t pclk1 = clocks.PCLK1_Frequency;
  const auto freq = static_cast<std::uint16_t>(pclk1 / 1000000u);

  // Peripheral input clock in MHz; the interrupt enables stay as they are.
  I2Cx->CR2 = static_cast<std::uint16_t>((I2Cx->CR2 & ~I2C_CR2_FREQ) | freq);

  // The timing registers take writes only while the peripheral is off.
  I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 & ~I2C_CR1_PE);

  const std::uint32_t speed = I2C_InitStruct->I2C_ClockSpeed;
  std::uint16_t ccr = 0;
  std::uint16_t trise = 0;
  if (speed <= kStandardModeMaxHz) {
    ccr = static_cast<std::uint16_t>(pclk1 / (speed * 2u));
    if (ccr < 4u) ccr = 4u;                         // the smallest value the standard mode allows
    trise = static_cast<std::uint16_t>(freq + 1u);  // 1000 ns rise time
  } else {
    if (I2C_InitStruct->I2C_DutyCycle == I2C_DutyCycle_2) {
      ccr = static_cast<std::uint16_t>(pclk1 / (speed * 3u));
    } else {
      ccr = static_cast<std::uint16_t>((pclk1 / (speed * 25u)) | I2C_CCR_DUTY);
    }
    if ((ccr & I2C_CCR_CCR) == 0u) ccr = static_cast<std::uint16_t>(ccr | 1u);
    ccr = static_cast<std::uint16_t>(ccr | I2C_CCR_FS);
    trise = static_cast<std::uint16_t>(freq * 300u / 1000u + 1u);  // 300 ns rise time
  }
  I2Cx->TRISE = trise;
  I2Cx->CCR = ccr;
  I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 | I2C_CR1_PE);

  I2Cx->CR1 =
      static_cast<std::uint16_t>((I2Cx->CR1 & ~kCr1ClearMask) | I2C_InitStruct->I2C_Mode | I2C_InitStruct->I2C_Ack);
  I2Cx->OAR1 = static_cast<std::uint16_t>(I2C_InitStruct->I2C_AcknowledgedAddress | I2C_InitStruct->I2C_OwnAddress1);
}

void I2C_Cmd(I2C_TypeDef* I2Cx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 | I2C_CR1_PE);
  } else {
    I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 & ~I2C_CR1_PE);
  }
}

void I2C_GenerateSTOP(I2C_TypeDef* I2Cx, FunctionalState NewState) {
  if (NewState != DISABLE) {
    I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 | I2C_CR1_STOP);
  } else {
    I2Cx->CR1 = static_cast<std::uint16_t>(I2Cx->CR1 & ~I2C_CR1_STOP);
  }
}
