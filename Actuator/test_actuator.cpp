#include "test_actuator.h"

#include "hw_config.h"
#include "platform.h"

namespace {

constexpr std::uint16_t kDipSwitchPins = GPIO_Pin_12 | GPIO_Pin_13 | GPIO_Pin_15;
constexpr std::uint16_t kInputPins = GPIO_Pin_0 | GPIO_Pin_1 | GPIO_Pin_2 | GPIO_Pin_3;
constexpr std::uint16_t kOutputPins = GPIO_Pin_4 | GPIO_Pin_5 | GPIO_Pin_6 | GPIO_Pin_7;
constexpr std::uint16_t kZigBeeResetPin = GPIO_Pin_8;

void configure_pins(GPIO_TypeDef* port, std::uint16_t pins, GPIOMode_TypeDef mode, GPIOOType_TypeDef otype,
                    GPIOPuPd_TypeDef pull) {
  GPIO_InitTypeDef init;
  init.GPIO_Pin = pins;
  init.GPIO_Mode = mode;
  init.GPIO_Speed = GPIO_Speed_40MHz;
  init.GPIO_OType = otype;
  init.GPIO_PuPd = pull;
  GPIO_Init(port, &init);
}

}  // namespace

void Actuator_Port_Initialization() {
  configure_pins(GPIOB, kDipSwitchPins, GPIO_Mode_IN, GPIO_OType_OD, GPIO_PuPd_UP);
  configure_pins(GPIOA, kInputPins, GPIO_Mode_IN, GPIO_OType_OD, GPIO_PuPd_NOPULL);
  configure_pins(GPIOA, kOutputPins, GPIO_Mode_OUT, GPIO_OType_PP, GPIO_PuPd_NOPULL);
  GPIO_ResetBits(GPIOA, kOutputPins);
}

void ZigBee_Initialization() {
  GPIO_SetBits(GPIOA, kZigBeeResetPin);
  Delay(10);
  GPIO_ResetBits(GPIOA, kZigBeeResetPin);
  Delay(10);
  GPIO_SetBits(GPIOA, kZigBeeResetPin);
}
