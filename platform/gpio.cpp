#include "gpio.h"

namespace {

constexpr unsigned kPinsPerPort = 16;

// Mask of a 2-bit field for every pin in `pins`.
std::uint32_t twoBitMask(std::uint32_t pins) {
  std::uint32_t mask = 0;
  for (unsigned pin = 0; pin < kPinsPerPort; ++pin) {
    if ((pins >> pin) & 1u) mask |= 3u << (pin * 2u);
  }
  return mask;
}

// `value` (0..3) repeated in the 2-bit field of every pin in `pins`.
std::uint32_t twoBitValue(std::uint32_t pins, std::uint32_t value) {
  std::uint32_t out = 0;
  for (unsigned pin = 0; pin < kPinsPerPort; ++pin) {
    if ((pins >> pin) & 1u) out |= (value & 3u) << (pin * 2u);
  }
  return out;
}

}  // namespace

void GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_InitStruct) {
  const std::uint32_t pins = GPIO_InitStruct->GPIO_Pin & 0xFFFFu;
  const std::uint32_t fields = twoBitMask(pins);
  const GPIOMode_TypeDef mode = GPIO_InitStruct->GPIO_Mode;

  // Speed and output type first, then the pull, the mode last: a line that
  // becomes an output starts driving with its final settings, and a line that
  // becomes an input already has its final pull.
  if (mode == GPIO_Mode_OUT || mode == GPIO_Mode_AF) {
    GPIOx->OSPEEDR = (GPIOx->OSPEEDR & ~fields) | twoBitValue(pins, GPIO_InitStruct->GPIO_Speed);
    std::uint32_t otyper = GPIOx->OTYPER & ~pins;
    if (GPIO_InitStruct->GPIO_OType == GPIO_OType_OD) otyper |= pins;
    GPIOx->OTYPER = otyper;
  }
  GPIOx->PUPDR = (GPIOx->PUPDR & ~fields) | twoBitValue(pins, GPIO_InitStruct->GPIO_PuPd);
  GPIOx->MODER = (GPIOx->MODER & ~fields) | twoBitValue(pins, mode);
}

void GPIO_PinAFConfig(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_PinSource, std::uint8_t GPIO_AF) {
  const unsigned pin = GPIO_PinSource & 0xFu;
  const unsigned shift = (pin & 7u) * 4u;
  IoReg<std::uint32_t>& afr = GPIOx->AFR[pin >> 3];
  afr = (afr & ~(0xFu << shift)) | (static_cast<std::uint32_t>(GPIO_AF & 0xFu) << shift);
}

void GPIO_SetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) { GPIOx->BSRR = GPIO_Pin; }

void GPIO_ResetBits(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) {
  GPIOx->BSRR = static_cast<std::uint32_t>(GPIO_Pin) << 16;
}

void GPIO_WriteBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin, BitAction BitVal) {
  if (BitVal != Bit_RESET) {
    GPIO_SetBits(GPIOx, GPIO_Pin);
  } else {
    GPIO_ResetBits(GPIOx, GPIO_Pin);
  }
}

std::uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) {
  return (GPIOx->IDR & GPIO_Pin) != 0 ? 1 : 0;
}

std::uint8_t GPIO_ReadOutputDataBit(GPIO_TypeDef* GPIOx, std::uint16_t GPIO_Pin) {
  return (GPIOx->ODR & GPIO_Pin) != 0 ? 1 : 0;
}
