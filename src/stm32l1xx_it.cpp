// Exception and interrupt handlers.
#include "stm32l1xx_it.h"

#include "I2CRoutines.h"
#include "hw_config.h"
#include "platform.h"
#include "test_actuator.h"
#include "uart_queue.h"

// A fault freezes the board with no message: nothing can be trusted any more,
// and the endless loop also keeps every interrupt handler from running.
void HardFault_Handler(void) { Platform_Halt("HardFault_Handler"); }
void MemManage_Handler(void) { Platform_Halt("MemManage_Handler"); }
void BusFault_Handler(void) { Platform_Halt("BusFault_Handler"); }
void UsageFault_Handler(void) { Platform_Halt("UsageFault_Handler"); }

// Never raised by this firmware; return at once if they ever are.
void NMI_Handler(void) {}
void SVC_Handler(void) {}
void DebugMon_Handler(void) {}
void PendSV_Handler(void) {}

// 1 ms tick: counts the running Delay down, nothing else, so that a thousand
// interrupts a second steal almost no time.
void SysTick_Handler(void) { TimingDelay_Decrement(); }

// Blink tick, every 0.9375 s: inverts every actuator output whose blink flag is
// set. The update interrupt is the only TIM2 source enabled.
void TIM2_IRQHandler(void) {
  TIM_ClearITPendingBit(TIM2, TIM_IT_Update);
  Actuator_Blink_Tick();
}

// One received byte per entry; a byte arriving meanwhile raises the interrupt again.
void USART1_IRQHandler(void) {
  if (USART_GetITStatus(USART1, USART_IT_RXNE) != SET) return;
  USART_ClearITPendingBit(USART1, USART_IT_RXNE);
  UartQueue_Serial_EnQueue(USART_ReceiveData(USART1));
}

void USART3_IRQHandler(void) {
  if (USART_GetITStatus(USART3, USART_IT_RXNE) != SET) return;
  USART_ClearITPendingBit(USART3, USART_IT_RXNE);
  UartQueue_Comm_EnQueue(USART_ReceiveData(USART3));
}

// ---------------------------------------------------------------- I2C
// Next index into the transmit and receive buffers of each bus.
volatile std::uint8_t Tx_Idx1;
volatile std::uint8_t Rx_Idx1;
volatile std::uint8_t Tx_Idx2;
volatile std::uint8_t Rx_Idx2;

namespace {

// What one bus's handlers work on.
struct I2C_Bus_State {
  I2C_TypeDef* I2Cx;
  volatile std::uint32_t& NumbOfBytes;
  std::uint8_t* Buffer_Tx;
  std::uint8_t* Buffer_Rx;
  volatile std::uint8_t& Tx_Idx;
  volatile std::uint8_t& Rx_Idx;
  volatile std::uint8_t& Transfer_Failed;
};

// SR1 bits that tell the two transmit events apart: TXE alone asks for the
// next byte; TXE with BTF means the last one has left the shift register.
constexpr std::uint16_t kTransmitEvents = I2C_SR1_TXE | I2C_SR1_BTF;
constexpr std::uint16_t kNextByteWanted = I2C_SR1_TXE;
constexpr std::uint16_t kLastByteSent = I2C_SR1_TXE | I2C_SR1_BTF;

// Sends the next byte of the transmit buffer; after the last one no more
// TXE interrupts are wanted, only the BTF that ends the write.
void Send_Next_Byte(const I2C_Bus_State& bus) {
  bus.I2Cx->DR = bus.Buffer_Tx[bus.Tx_Idx];
  bus.Tx_Idx = static_cast<std::uint8_t>(bus.Tx_Idx + 1u);
  bus.NumbOfBytes = bus.NumbOfBytes - 1u;
  if (bus.NumbOfBytes == 0u) I2C_Clear_CR2(bus.I2Cx, I2C_CR2_ITBUFEN);
}

// One event per entry: the first one found, in a fixed order; the next event
// raises a new entry.
void I2C_Event(const I2C_Bus_State& bus) {
  I2C_TypeDef* I2Cx = bus.I2Cx;
  volatile std::uint32_t SR1Register = 0;
  volatile std::uint32_t SR2Register = 0;
  // SR1 then SR2: this also clears a pending ADDR.
  SR1Register = I2Cx->SR1;
  SR2Register = I2Cx->SR2;

  // Another master addressed this peripheral: answer from the same buffers.
  if ((SR2Register & I2C_SR2_MSL) != I2C_SR2_MSL) {
    if ((SR1Register & I2C_SR1_ADDR) == I2C_SR1_ADDR) {
      SR1Register = 0;
      SR2Register = 0;
      bus.Tx_Idx = 0;
      bus.Rx_Idx = 0;
    }
    if ((SR1Register & I2C_SR1_TXE) == I2C_SR1_TXE) {
      I2Cx->DR = bus.Buffer_Tx[bus.Tx_Idx];
      bus.Tx_Idx = static_cast<std::uint8_t>(bus.Tx_Idx + 1u);
      SR1Register = 0;
      SR2Register = 0;
    }
    if ((SR1Register & I2C_SR1_RXNE) == I2C_SR1_RXNE) {
      bus.Buffer_Rx[bus.Rx_Idx] = static_cast<std::uint8_t>(I2Cx->DR);
      bus.Rx_Idx = static_cast<std::uint8_t>(bus.Rx_Idx + 1u);
      SR1Register = 0;
      SR2Register = 0;
    }
    if ((SR1Register & I2C_SR1_STOPF) == I2C_SR1_STOPF) {
      // A write to CR1 after the SR1 read clears STOPF.
      I2C_Set_CR1(I2Cx, I2C_CR1_PE);
      SR1Register = 0;
      SR2Register = 0;
    }
  }

  if ((SR1Register & I2C_SR1_SB) == I2C_SR1_SB) {
    I2Cx->DR = Address;
    SR1Register = 0;
    SR2Register = 0;
  }

  if ((SR2Register & I2C_SR2_MSL) == I2C_SR2_MSL) {
    if ((SR1Register & I2C_SR1_ADDR) == I2C_SR1_ADDR) {
      if (I2CDirection == 0u) {
        bus.Tx_Idx = 0;
        Send_Next_Byte(bus);
      } else {
        bus.Rx_Idx = 0;
        if (bus.NumbOfBytes == 1u) {
          // The only byte gets the NACK, and the STOP follows it.
          I2C_Clear_CR1(I2Cx, I2C_CR1_ACK);
          I2C_Set_CR1(I2Cx, I2C_CR1_STOP);
        }
      }
      SR1Register = 0;
      SR2Register = 0;
    }
    if ((SR1Register & kTransmitEvents) == kNextByteWanted) {
      if (bus.NumbOfBytes != 0u) Send_Next_Byte(bus);
      SR1Register = 0;
      SR2Register = 0;
    }
    if ((SR1Register & kTransmitEvents) == kLastByteSent) {
      // The last byte has left: end the write.
      I2C_Set_CR1(I2Cx, I2C_CR1_STOP);
      I2C_Clear_CR2(I2Cx, I2C_CR2_ITEVTEN);
      SR1Register = 0;
      SR2Register = 0;
    }
    if ((SR1Register & I2C_SR1_RXNE) == I2C_SR1_RXNE) {
      bus.Buffer_Rx[bus.Rx_Idx] = static_cast<std::uint8_t>(I2Cx->DR);
      bus.Rx_Idx = static_cast<std::uint8_t>(bus.Rx_Idx + 1u);
      bus.NumbOfBytes = bus.NumbOfBytes - 1u;
      if (bus.NumbOfBytes == 1u) {
        I2C_Clear_CR1(I2Cx, I2C_CR1_ACK);
        I2C_Set_CR1(I2Cx, I2C_CR1_STOP);
      }
      SR1Register = 0;
      SR2Register = 0;
    }
  }
}

// A transfer that met an error ends here and the waiting routine is told. An
// interrupt-driven transfer (event interrupts on) has nobody else to end it:
// its event interrupts stop and a master that still holds the bus sends a
// STOP. A polling transfer is the routine's own to end: one whose address was
// refused gives up after its polls without a STOP, and the next transfer's
// START becomes a repeated START.
void End_Failed_Transfer(const I2C_Bus_State& bus) {
  I2C_TypeDef* I2Cx = bus.I2Cx;
  if ((I2Cx->CR2 & I2C_CR2_ITEVTEN) != 0u) {
    I2C_Clear_CR2(I2Cx, static_cast<std::uint16_t>(I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN));
    if ((I2Cx->SR2 & I2C_SR2_MSL) != 0u) I2C_Set_CR1(I2Cx, I2C_CR1_STOP);
  }
  bus.Transfer_Failed = 1;
}

// One error flag cleared per entry, in the order AF, ARLO, BERR, OVR; while
// another is still set the interrupt stays pending and comes back for it.
void I2C_Error(const I2C_Bus_State& bus) {
  I2C_TypeDef* I2Cx = bus.I2Cx;
  volatile std::uint32_t SR1Register = 0;
  SR1Register = I2Cx->SR1;

  if ((SR1Register & I2C_SR1_AF) == I2C_SR1_AF) {
    I2C_Clear_SR1_Flag(I2Cx, I2C_SR1_AF);
    End_Failed_Transfer(bus);
    SR1Register = 0;
  }
  if ((SR1Register & I2C_SR1_ARLO) == I2C_SR1_ARLO) {
    // The other master has the bus now; it sends the STOP.
    I2C_Clear_SR1_Flag(I2Cx, I2C_SR1_ARLO);
    End_Failed_Transfer(bus);
    SR1Register = 0;
  }
  if ((SR1Register & I2C_SR1_BERR) == I2C_SR1_BERR) {
    I2C_Clear_SR1_Flag(I2Cx, I2C_SR1_BERR);
    End_Failed_Transfer(bus);
    SR1Register = 0;
  }
  if ((SR1Register & I2C_SR1_OVR) == I2C_SR1_OVR) {
    I2C_Clear_SR1_Flag(I2Cx, I2C_SR1_OVR);
    SR1Register = 0;
  }
}

I2C_Bus_State Bus1() {
  return I2C_Bus_State{I2C1, NumbOfBytes1, Buffer_Tx1, Buffer_Rx1, Tx_Idx1, Rx_Idx1, I2C1_Transfer_Failed};
}
I2C_Bus_State Bus2() {
  return I2C_Bus_State{I2C2, NumbOfBytes2, Buffer_Tx2, Buffer_Rx2, Tx_Idx2, Rx_Idx2, I2C2_Transfer_Failed};
}

}  // namespace

void I2C1_EV_IRQHandler(void) { I2C_Event(Bus1()); }
void I2C1_ER_IRQHandler(void) { I2C_Error(Bus1()); }
void I2C2_EV_IRQHandler(void) { I2C_Event(Bus2()); }
void I2C2_ER_IRQHandler(void) { I2C_Error(Bus2()); }
