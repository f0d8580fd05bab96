// Master transfers on I2C1 and I2C2.
//
// Every transfer starts with a START and the address byte; the START and the
// address acknowledge are awaited with a budget of 0xFFFF polls each. The waits
// after the address phase are bounded too, by a time-sized budget: a chip that
// stretches the clock through a long conversion still completes, one that never
// lets go (or a bus that stays stuck) ends the transfer with Error and leaves
// the peripheral ready for the next one.
#include "I2CRoutines.h"

#include "bounded_wait.h"
#include "debug.h"
#include "hw_config.h"

volatile std::uint8_t Address;
volatile std::uint32_t I2CDirection;
volatile std::uint32_t NumbOfBytes1;
volatile std::uint32_t NumbOfBytes2;
std::uint8_t Buffer_Tx1[I2C_BUFFER_SIZE];
std::uint8_t Buffer_Rx1[I2C_BUFFER_SIZE];
std::uint8_t Buffer_Tx2[I2C_BUFFER_SIZE];
std::uint8_t Buffer_Rx2[I2C_BUFFER_SIZE];
volatile std::uint8_t I2C1_Transfer_Failed;
volatile std::uint8_t I2C2_Transfer_Failed;

namespace {

// Register accesses per poll of a status register, counted generously: the
// budget then lasts at least as long as intended on the board.
constexpr std::uint32_t kCyclesPerPoll = 4;
// Length of the long waits, in tenths of a second.
constexpr std::uint32_t kLongWaitPerSecond = 10;
// Below this the budget would not cover a 50 ms stretch at any core clock.
constexpr std::uint32_t kLongWaitMinimum = 0x10000;

std::uint32_t long_wait_budget = kLongWaitMinimum;

volatile std::uint8_t& Failed_Flag(I2C_TypeDef* I2Cx) {
  return I2Cx == I2C1 ? I2C1_Transfer_Failed : I2C2_Transfer_Failed;
}

// The START and address waits: SR1 polled until `flag`, at most 65,536 times.
bool Wait_Flag_Bounded(I2C_TypeDef* I2Cx, std::uint16_t flag) {
  return Platform_Wait_Countdown(I2C_FLAG_TIMEOUT, [I2Cx, flag] { return (I2Cx->SR1 & flag) != 0u; });
}

// The waits after the address phase: SR1 polled until `flag`; false when the
// error handler recorded a failure or the long budget ran out. A handler taken
// during polls that passed at once ends them: its failure is seen before the
// next poll, as it would have been.
bool Wait_SR1(I2C_TypeDef* I2Cx, std::uint16_t flag) {
  volatile std::uint8_t& failed = Failed_Flag(I2Cx);
  return Platform_Wait_Bounded(
      long_wait_budget, [I2Cx, flag] { return (I2Cx->SR1 & flag) != 0u; }, [&failed] { return failed != 0u; });
}

// Until the hardware has cleared `bit` of CR1 (START or STOP sent).
bool Wait_CR1_Cleared(I2C_TypeDef* I2Cx, std::uint16_t bit) {
  return Platform_Wait_Bounded(long_wait_budget, [I2Cx, bit] { return (I2Cx->CR1 & bit) == 0u; });
}

// Until the bus is idle (BUSY clear); false when the error handler recorded a
// failure. The flag decides also once the bus is idle: the error handler
// requests the STOP before it records the failure, and when another handler
// runs between the refusal and this loop's next look at SR2, the STOP has
// completed by then, so an idle bus alone does not mean the transfer went well.
bool Wait_Bus_Idle(I2C_TypeDef* I2Cx) {
  volatile std::uint8_t& failed = Failed_Flag(I2Cx);
  const bool idle = Platform_Wait_Bounded(
      long_wait_budget, [I2Cx] { return (I2Cx->SR2 & I2C_SR2_BUSY) == 0u; }, [&failed] { return failed != 0u; });
  return idle && failed == 0u;
}

// Software reset of a peripheral that is stuck mid-transfer (a STOP that cannot
// be sent, a clock held low), then its set-up again as before: the next
// transfer starts from an idle peripheral.
void Reset_Peripheral(I2C_TypeDef* I2Cx) {
  const std::uint16_t cr2 = static_cast<std::uint16_t>(I2Cx->CR2 & ~(I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN));
  const std::uint16_t ccr = I2Cx->CCR;
  const std::uint16_t trise = I2Cx->TRISE;
  const std::uint16_t oar1 = I2Cx->OAR1;
  I2Cx->CR1 = I2C_CR1_SWRST;
  I2Cx->CR1 = 0;
  I2Cx->CR2 = cr2;
  I2Cx->CCR = ccr;
  I2Cx->TRISE = trise;
  I2Cx->OAR1 = oar1;
  I2Cx->CR1 = static_cast<std::uint16_t>(I2C_CR1_PE | I2C_CR1_ACK);
}

// Ends a transfer that failed after its address phase: no more event
// interrupts; a master still holding the bus sends a STOP. If the STOP cannot
// go out (a chip holds a line) the peripheral is reset; otherwise it is left
// with ACK set and POS clear, as after a good read.
//
// A STOP the error handler already requested is left alone: CR1 read while
// that STOP is pending and written back after the hardware has cleared it
// would request a second STOP on an idle bus, which never clears. CR1 is read
// before SR2 for that: the hardware clears STOP and MSL together, so a STOP
// not pending in CR1 with MSL still set afterwards is one that is needed, and
// nothing can clear CR1's bits before the write.
Status Fail_Transfer(I2C_TypeDef* I2Cx) {
  I2C_Clear_CR2(I2Cx, I2C_CR2_ITEVTEN | I2C_CR2_ITBUFEN);
  const std::uint16_t cr1 = I2Cx->CR1;
  if ((cr1 & I2C_CR1_STOP) == 0u && (I2Cx->SR2 & I2C_SR2_MSL) != 0u) {
    I2Cx->CR1 = static_cast<std::uint16_t>(cr1 | I2C_CR1_STOP);
  }
  if (!Wait_CR1_Cleared(I2Cx, I2C_CR1_STOP) || (I2Cx->CR1 & I2C_CR1_START) != 0u ||
      (I2Cx->SR2 & I2C_SR2_MSL) != 0u) {
    Reset_Peripheral(I2Cx);
  } else {
    I2Cx->CR1 = static_cast<std::uint16_t>((I2Cx->CR1 | I2C_CR1_ACK) & ~I2C_CR1_POS);
  }
  Failed_Flag(I2Cx) = 0;
  return Error;
}

Status Read_Polling(I2C_TypeDef* I2Cx, std::uint8_t* pBuffer, std::uint32_t NumByteToRead,
                    std::uint8_t SlaveAddress) {
  volatile std::uint32_t temp = 0;
  (void)temp;

  if (NumByteToRead == 1u) {
    I2C_Set_CR1(I2Cx, I2C_CR1_START);
    if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_SB)) return Error;
    Address = static_cast<std::uint8_t>(SlaveAddress | 1u);
    I2Cx->DR = Address;
    if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_ADDR)) return Error;
    I2C_Clear_CR1(I2Cx, I2C_CR1_ACK);
    // The STOP must be requested while the byte is still on its way in: no
    // interrupt may come between clearing ADDR (which starts the byte) and it.
    __disable_irq();
    temp = I2Cx->SR2;
    I2C_Set_CR1(I2Cx, I2C_CR1_STOP);
    __enable_irq();
    if (!Wait_SR1(I2Cx, I2C_SR1_RXNE)) return Fail_Transfer(I2Cx);
    pBuffer[0] = static_cast<std::uint8_t>(I2Cx->DR);
    if (!Wait_CR1_Cleared(I2Cx, I2C_CR1_STOP)) return Fail_Transfer(I2Cx);
    I2C_Set_CR1(I2Cx, I2C_CR1_ACK);
    return Success;
  }

  if (NumByteToRead == 2u) {
    // With POS the ACK bit applies to the second byte: the first is
    // acknowledged, the second answered with a NACK.
    I2C_Set_CR1(I2Cx, I2C_CR1_POS);
    I2C_Set_CR1(I2Cx, I2C_CR1_START);
    if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_SB)) return Error;
    Address = static_cast<std::uint8_t>(SlaveAddress | 1u);
    I2Cx->DR = Address;
    if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_ADDR)) return Error;
    __disable_irq();
    temp = I2Cx->SR2;
    I2C_Clear_CR1(I2Cx, I2C_CR1_ACK);
    __enable_irq();
    if (!Wait_SR1(I2Cx, I2C_SR1_BTF)) return Fail_Transfer(I2Cx);
    __disable_irq();
    I2C_GenerateSTOP(I2Cx, ENABLE);
    pBuffer[0] = static_cast<std::uint8_t>(I2Cx->DR);
    __enable_irq();
    pBuffer[1] = static_cast<std::uint8_t>(I2Cx->DR);
    if (!Wait_CR1_Cleared(I2Cx, I2C_CR1_STOP)) return Fail_Transfer(I2Cx);
    I2C_Set_CR1(I2Cx, I2C_CR1_ACK);
    I2C_Clear_CR1(I2Cx, I2C_CR1_POS);
    return Success;
  }

  I2C_Set_CR1(I2Cx, I2C_CR1_START);
  if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_SB)) return Error;
  Address = static_cast<std::uint8_t>(SlaveAddress | 1u);
  I2Cx->DR = Address;
  if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_ADDR)) return Error;
  temp = I2Cx->SR2;

  std::uint32_t remaining = NumByteToRead;
  while (remaining != 0u) {
    if (remaining != 3u) {
      // Each byte before the last three is taken on BTF: the next one then
      // waits in the shift register with the clock held.
      if (!Wait_SR1(I2Cx, I2C_SR1_BTF)) return Fail_Transfer(I2Cx);
      *pBuffer++ = static_cast<std::uint8_t>(I2Cx->DR);
      remaining--;
    }
    if (remaining == 3u) {
      // Byte N-2 in DR, N-1 in the shift register: the NACK goes to byte N,
      // which starts when N-2 is read; the STOP follows it.
      if (!Wait_SR1(I2Cx, I2C_SR1_BTF)) return Fail_Transfer(I2Cx);
      I2C_Clear_CR1(I2Cx, I2C_CR1_ACK);
      __disable_irq();
      *pBuffer++ = static_cast<std::uint8_t>(I2Cx->DR);
      I2C_Set_CR1(I2Cx, I2C_CR1_STOP);
      *pBuffer++ = static_cast<std::uint8_t>(I2Cx->DR);
      __enable_irq();
      if (!Wait_SR1(I2Cx, I2C_SR1_RXNE)) return Fail_Transfer(I2Cx);
      *pBuffer++ = static_cast<std::uint8_t>(I2Cx->DR);
      remaining = 0;
    }
  }
  if (!Wait_CR1_Cleared(I2Cx, I2C_CR1_STOP)) return Fail_Transfer(I2Cx);
  I2C_Set_CR1(I2Cx, I2C_CR1_ACK);
  return Success;
}

Status Write_Polling(I2C_TypeDef* I2Cx, const std::uint8_t* pBuffer, std::uint32_t NumByteToWrite,
                     std::uint8_t SlaveAddress) {
  volatile std::uint32_t temp = 0;
  (void)temp;

  I2C_Set_CR1(I2Cx, I2C_CR1_START);
  if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_SB)) return Error;
  Address = static_cast<std::uint8_t>(SlaveAddress & 0xFEu);
  I2Cx->DR = Address;
  if (!Wait_Flag_Bounded(I2Cx, I2C_SR1_ADDR)) return Error;
  temp = I2Cx->SR2;
  I2Cx->DR = *pBuffer++;
  std::uint32_t remaining = NumByteToWrite - 1u;
  while (remaining != 0u) {
    if (!Wait_SR1(I2Cx, I2C_SR1_BTF)) return Fail_Transfer(I2Cx);
    I2Cx->DR = *pBuffer++;
    remaining--;
  }
  if (!Wait_SR1(I2Cx, I2C_SR1_BTF)) return Fail_Transfer(I2Cx);
  I2C_Set_CR1(I2Cx, I2C_CR1_STOP);
  if (!Wait_CR1_Cleared(I2Cx, I2C_CR1_STOP)) return Fail_Transfer(I2Cx);
  return Success;
}

// Hands the transfer to the event handler and waits for the bus to go idle.
Status Transfer_Interrupt(I2C_TypeDef* I2Cx, std::uint32_t count, std::uint32_t direction, std::uint8_t address) {
  I2C_Set_CR2(I2Cx, I2C_CR2_ITEVTEN);
  I2C_Set_CR2(I2Cx, I2C_CR2_ITBUFEN);
  I2CDirection = direction;
  Address = address;
  if (I2Cx == I2C1) {
    NumbOfBytes1 = count;
  } else {
    NumbOfBytes2 = count;
  }
  I2C_Set_CR1(I2Cx, I2C_CR1_START);
  if (!Wait_CR1_Cleared(I2Cx, I2C_CR1_START)) return Fail_Transfer(I2Cx);
  if (!Wait_Bus_Idle(I2Cx)) return Fail_Transfer(I2Cx);
  return Success;
}

// One bus's block and its two GPIOB pins (given by number): the block's clock
// on, SCL and SDA handed to it, then the block reset. Each pin is set up by
// itself: alternate function 4, open drain, no internal pull (the board has its
// own pull-up resistors). Expanded in place, so that start-up stays one
// straight run of calls.
[[gnu::always_inline]] inline void Bus_Pins_Init(std::uint32_t block, std::uint8_t alternate_function,
                                                 std::uint16_t scl, std::uint16_t sda) {
  RCC_APB1PeriphClockCmd(block, ENABLE);
  GPIO_PinAFConfig(GPIOB, scl, alternate_function);
  GPIO_PinAFConfig(GPIOB, sda, alternate_function);
  GPIO_Configure_Pins(GPIOB, static_cast<std::uint16_t>(1u << scl), GPIO_Mode_AF, GPIO_OType_OD, GPIO_PuPd_NOPULL);
  GPIO_Configure_Pins(GPIOB, static_cast<std::uint16_t>(1u << sda), GPIO_Mode_AF, GPIO_OType_OD, GPIO_PuPd_NOPULL);
  RCC_APB1PeriphResetCmd(block, ENABLE);
  RCC_APB1PeriphResetCmd(block, DISABLE);
}

}  // namespace

std::uint32_t I2C_Long_Wait_Budget() { return long_wait_budget; }

void I2C_LowLevel_Init() {
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_GPIOB, ENABLE);
  Bus_Pins_Init(RCC_APB1Periph_I2C1, GPIO_AF_I2C1, 6, 7);
  Bus_Pins_Init(RCC_APB1Periph_I2C2, GPIO_AF_I2C2, 10, 11);

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

  RCC_ClocksTypeDef clocks;
  RCC_GetClocksFreq(&clocks);
  long_wait_budget = clocks.HCLK_Frequency / (kCyclesPerPoll * kLongWaitPerSecond);
  if (long_wait_budget < kLongWaitMinimum) long_wait_budget = kLongWaitMinimum;
}

Status I2C_Master_BufferRead(I2C_TypeDef* I2Cx, std::uint8_t* pBuffer, std::uint32_t NumByteToRead,
                             I2C_ProgrammingModel Mode, std::uint8_t SlaveAddress) {
  I2C_Set_CR2(I2Cx, I2C_CR2_ITERREN);
  if (NumByteToRead == 0u) return Error;  // nothing to read: no bus traffic at all
  Failed_Flag(I2Cx) = 0;
  if (Mode == Polling) return Read_Polling(I2Cx, pBuffer, NumByteToRead, SlaveAddress);
  if (NumByteToRead > I2C_BUFFER_SIZE) return Error;
  if (Transfer_Interrupt(I2Cx, NumByteToRead, 1u, static_cast<std::uint8_t>(SlaveAddress | 1u)) != Success) {
    return Error;
  }
  I2C_Set_CR1(I2Cx, I2C_CR1_ACK);
  return Success;
}

Status I2C_Master_BufferWrite(I2C_TypeDef* I2Cx, std::uint8_t* pBuffer, std::uint32_t NumByteToWrite,
                              I2C_ProgrammingModel Mode, std::uint8_t SlaveAddress) {
  I2C_Set_CR2(I2Cx, I2C_CR2_ITERREN);
  if (NumByteToWrite == 0u) return Error;
  Failed_Flag(I2Cx) = 0;
  if (Mode == Polling) return Write_Polling(I2Cx, pBuffer, NumByteToWrite, SlaveAddress);
  if (NumByteToWrite > I2C_BUFFER_SIZE) return Error;
  return Transfer_Interrupt(I2Cx, NumByteToWrite, 0u, static_cast<std::uint8_t>(SlaveAddress & 0xFEu));
}

std::uint8_t I2C1_Sensor_Register_Read(const char* who, int writeDiagnostic, int readDiagnostic, std::uint8_t devAddr,
                                       std::uint8_t regAddr, std::uint8_t length, std::uint8_t* data) {
  const auto slave = static_cast<std::uint8_t>(devAddr << 1);
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, DISABLE);
  Buffer_Tx1[0] = regAddr;
  if (I2C_Master_BufferWrite(I2C1, Buffer_Tx1, 1, Interrupt, slave) == Error) {
    DebugMsg_FunctionError(who, writeDiagnostic);
    return 0;
  }
  if (I2C_Master_BufferRead(I2C1, data, length, Polling, slave) == Error) {
    DebugMsg_FunctionError(who, readDiagnostic);
    return 0;
  }
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, ENABLE);
  return length;
}

std::int8_t I2C1_Sensor_Register_Write(const char* who, int diagnostic, std::uint8_t devAddr, std::uint8_t regAddr,
                                       std::uint8_t length, const std::uint8_t* data) {
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, DISABLE);
  // Register address, then the data: at most 254 data bytes fit the buffer.
  Buffer_Tx1[0] = regAddr;
  for (std::uint32_t i = 0; i < length && i + 1u < I2C_BUFFER_SIZE; ++i) Buffer_Tx1[i + 1u] = data[i];
  if (I2C_Master_BufferWrite(I2C1, Buffer_Tx1, static_cast<std::uint32_t>(length) + 1u, Interrupt,
                             static_cast<std::uint8_t>(devAddr << 1)) == Error) {
    DebugMsg_FunctionError(who, diagnostic);
    return -1;
  }
  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_FSMC, ENABLE);
  return 0;
}
