#include "hw_config.h"

#include "bounded_wait.h"

RCC_ClocksTypeDef rcc_clocks;
volatile std::uint32_t TimingDelay;

// ---------------------------------------------------------------- board configuration

void RCC_Configuration() {
  // The clock set-up runs once more here, again from MSI to the PLL.
  SystemInit();

  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOA, ENABLE);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOB, ENABLE);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOC, ENABLE);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOD, ENABLE);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOE, ENABLE);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOH, ENABLE);
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_USART3, ENABLE);
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_SYSCFG, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM2, ENABLE);
}

void GPIO_Configure_Pins(GPIO_TypeDef* port, std::uint16_t pins, GPIOMode_TypeDef mode, GPIOOType_TypeDef otype,
                         GPIOPuPd_TypeDef pull) {
  GPIO_InitTypeDef init;
  init.GPIO_Pin = pins;
  init.GPIO_Mode = mode;
  init.GPIO_Speed = GPIO_Speed_40MHz;
  init.GPIO_OType = otype;
  init.GPIO_PuPd = pull;
  GPIO_Init(port, &init);
}

namespace {

void configure_serial_pin(GPIO_TypeDef* port, std::uint16_t pin) {
  GPIO_Configure_Pins(port, pin, GPIO_Mode_AF, GPIO_OType_PP, GPIO_PuPd_UP);
}

void configure_output(GPIO_TypeDef* port, std::uint16_t pins) {
  GPIO_Configure_Pins(port, pins, GPIO_Mode_OUT, GPIO_OType_PP, GPIO_PuPd_NOPULL);
}

void configure_serial_port(USART_TypeDef* port) {
  USART_InitTypeDef init;
  init.USART_BaudRate = 115200;
  init.USART_WordLength = USART_WordLength_8b;
  init.USART_StopBits = USART_StopBits_1;
  init.USART_Parity = USART_Parity_No;
  init.USART_HardwareFlowControl = USART_HardwareFlowControl_None;
  init.USART_Mode = USART_Mode_Rx | USART_Mode_Tx;
  USART_Init(port, &init);
  USART_ITConfig(port, USART_IT_RXNE, ENABLE);
  USART_Cmd(port, ENABLE);
}

void enable_channel(IRQn_Type channel, std::uint8_t preemption, std::uint8_t sub) {
  NVIC_InitTypeDef init;
  init.NVIC_IRQChannel = static_cast<std::uint8_t>(channel);
  init.NVIC_IRQChannelPreemptionPriority = preemption;
  init.NVIC_IRQChannelSubPriority = sub;
  init.NVIC_IRQChannelCmd = ENABLE;
  NVIC_Init(&init);
}

}  // namespace

void GPIO_Configuration() {
  // Debug console USART1: PA9 TX, PA10 RX.
  GPIO_PinAFConfig(GPIOA, 9, GPIO_AF_USART1);
  GPIO_PinAFConfig(GPIOA, 10, GPIO_AF_USART1);
  configure_serial_pin(GPIOA, GPIO_Pin_9);
  configure_serial_pin(GPIOA, GPIO_Pin_10);

  // ZigBee module USART3: PC10 TX, PC11 RX.
  GPIO_PinAFConfig(GPIOC, 10, GPIO_AF_USART3);
  GPIO_PinAFConfig(GPIOC, 11, GPIO_AF_USART3);
  configure_serial_pin(GPIOC, GPIO_Pin_10);
  configure_serial_pin(GPIOC, GPIO_Pin_11);

  // LEDs PC7, PC8, PC9. The latches are not written: the lines drive low (LEDs
  // lit) until start-up switches them off.
  configure_output(GPIOC, GPIO_Pin_7 | GPIO_Pin_8 | GPIO_Pin_9);

  // ZigBee reset PA8: low, holding the module in reset until its reset pulse.
  configure_output(GPIOA, GPIO_Pin_8);
}

void NVIC_Configuration() {
  NVIC_SetVectorTable(NVIC_VectTab_FLASH, 0x0);
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_2);

  enable_channel(TIM2_IRQn, 2, 0);
  enable_channel(USART1_IRQn, 1, 0);
  enable_channel(USART3_IRQn, 0, 0);

  // Raw priorities under grouping 2: events pre-emption 0 sub 0, errors 0 sub 1.
  NVIC_SetPriority(I2C1_EV_IRQn, 0);
  NVIC_EnableIRQ(I2C1_EV_IRQn);
  NVIC_SetPriority(I2C1_ER_IRQn, 1);
  NVIC_EnableIRQ(I2C1_ER_IRQn);
  NVIC_SetPriority(I2C2_EV_IRQn, 0);
  NVIC_EnableIRQ(I2C2_EV_IRQn);
  NVIC_SetPriority(I2C2_ER_IRQn, 1);
  NVIC_EnableIRQ(I2C2_ER_IRQn);
}

// No external interrupt line is used on this board.
void EXTI_Configuration() {}

void USART1_Init_for_Debug() { configure_serial_port(USART1); }

void USART3_Init_for_Comm() { configure_serial_port(USART3); }

// ---------------------------------------------------------------- timing

void TimingDelay_Decrement() {
  if (TimingDelay != 0x00) {
    TimingDelay = TimingDelay - 1;
  }
}

void Delay(std::uint32_t nTime) {
  TimingDelay = nTime;
  while (TimingDelay != 0) {
    Platform_IdleHint();
  }
}

void delay_100_milli_second() { Delay(100); }

void TIM_Configuration() {
  TIM_TimeBaseInitTypeDef init;
  init.TIM_Period = 499;
  init.TIM_Prescaler = 31999;
  init.TIM_ClockDivision = TIM_CKD_DIV1;
  init.TIM_CounterMode = TIM_CounterMode_Up;
  TIM_TimeBaseInit(TIM2, &init);  // 0.5 s at this prescaler

  TIM_Cmd(TIM2, ENABLE);

  // Prescaler 59999 applied at once through an update event: 0.9375 s. The
  // event sets the update flag; clear it so no interrupt follows at once.
  TIM_PrescalerConfig(TIM2, 59999, TIM_PSCReloadMode_Immediate);
  TIM_ClearFlag(TIM2, TIM_FLAG_Update);

  TIM_ITConfig(TIM2, TIM_IT_Update, ENABLE);
}

// ---------------------------------------------------------------- console sink

bool Serial_Wait_TxEmpty(USART_TypeDef* USARTx) {
  return Platform_Wait_Bounded(SERIAL_TX_POLL_BUDGET,
                               [USARTx] { return USART_GetFlagStatus(USARTx, USART_FLAG_TXE) != RESET; });
}

// Each write is followed by the wait, so when this returns the last byte is in
// the shift register and the next write finds the data register free. Output
// never reports an error: a character a dead port cannot take is dropped.
extern "C" int fputc(int ch, FILE* f) {
  (void)f;  // whatever the stream, the character goes to the console
  if (ch == '\n') {
    USART_SendData(USART1, '\r');
    (void)Serial_Wait_TxEmpty(USART1);
    USART_SendData(USART1, '\n');
  } else {
    USART_SendData(USART1, static_cast<std::uint16_t>(ch & 0xFF));
  }
  (void)Serial_Wait_TxEmpty(USART1);
  return ch;
}
