#include "I2CRoutines.h"

#include "hw_config.h"
#include "platform.h"

namespace {

// SCL/SDA of a bus, each configured by itself: alternate function 4, open
// drain, no internal pull (the board has its own pull-up resistors).
void configure_bus_pin(std::uint16_t pin) {
  GPIO_Configure_Pins(GPIOB, pin, GPIO_Mode_AF, GPIO_OType_OD, GPIO_PuPd_NOPULL);
}

}  // namespace

void I2C_LowLevel_Init() {
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOB, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_I2C1, ENABLE);
  GPIO_PinAFConfig(GPIOB, 6, GPIO_AF_I2C1);
  GPIO_PinAFConfig(GPIOB, 7, GPIO_AF_I2C1);
  configure_bus_pin(GPIO_Pin_6);
  configure_bus_pin(GPIO_Pin_7);
  RCC_APB1PeriphResetCmd(RCC_APB1Periph_I2C1, ENABLE);
  RCC_APB1PeriphResetCmd(RCC_APB1Periph_I2C1, DISABLE);

  RCC_APB1PeriphClockCmd(RCC_APB1Periph_I2C2, ENABLE);
  GPIO_PinAFConfig(GPIOB, 10, GPIO_AF_I2C2);
  GPIO_PinAFConfig(GPIOB, 11, GPIO_AF_I2C2);
  configure_bus_pin(GPIO_Pin_10);
  configure_bus_pin(GPIO_Pin_11);
  RCC_APB1PeriphResetCmd(RCC_APB1Periph_I2C2, ENABLE);
  RCC_APB1PeriphResetCmd(RCC_APB1Periph_I2C2, DISABLE);

  I2C_Cmd(I2C1, ENABLE);
  I2C_Cmd(I2C2, ENABLE);

  I2C_InitTypeDef init;
  init.I2C_Mode = I2C_Mode_I2C;
  init.I2C_DutyCycle = I2C_DutyCycle_2;
  init.I2C_OwnAddress1 = 0x28;
  init.I2C_Ack = I2C_Ack_Enable;
  init.I2C_AcknowledgedAddress = I2C_AcknowledgedAddress_7bit;
  init.I2C_ClockSpeed = 400000;
  I2C_Init(I2C1, &init);
  init.I2C_OwnAddress1 = 0x30;
  I2C_Init(I2C2, &init);
}
