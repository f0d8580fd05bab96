#include "test_actuator.h"

#include "hw_config.h"
#include "platform.h"

namespace {

constexpr std::uint16_t kDipSwitchPins = GPIO_Pin_12 | GPIO_Pin_13 | GPIO_Pin_15;
constexpr std::uint16_t kInputPins = GPIO_Pin_0 | GPIO_Pin_1 | GPIO_Pin_2 | GPIO_Pin_3;
constexpr std::uint16_t kOutputPins = GPIO_Pin_4 | GPIO_Pin_5 | GPIO_Pin_6 | GPIO_Pin_7;
constexpr std::uint16_t kZigBeeResetPin = GPIO_Pin_8;

}  // namespace

void Actuator_Port_Initialization() {
  GPIO_Configure_Pins(GPIOB, kDipSwitchPins, GPIO_Mode_IN, GPIO_OType_OD, GPIO_PuPd_UP);
  GPIO_Configure_Pins(GPIOA, kInputPins, GPIO_Mode_IN, GPIO_OType_OD, GPIO_PuPd_NOPULL);
  GPIO_Configure_Pins(GPIOA, kOutputPins, GPIO_Mode_OUT, GPIO_OType_PP, GPIO_PuPd_NOPULL);
  GPIO_ResetBits(GPIOA, kOutputPins);
}

void ZigBee_Initialization() {
  GPIO_SetBits(GPIOA, kZigBeeResetPin);
  Delay(10);
  GPIO_ResetBits(GPIOA, kZigBeeResetPin);
  Delay(10);
  GPIO_SetBits(GPIOA, kZigBeeResetPin);
}
