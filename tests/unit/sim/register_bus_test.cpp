// The register seam: firmware register accesses reach the board's models at
// their chip addresses, and accesses the chip would not accept stop the run.
#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "sim/board.h"
#include "sim/core/stop.h"

namespace {

template <typename F>
std::string stopMessage(F&& access) {
  try {
    access();
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
    return stop.what();
  }
  ADD_FAILURE() << "the access did not stop the run";
  return {};
}

TEST(RegisterSeam, AnAddressNoPeripheralAnswersStopsTheRunNamingIt) {
  sim::Board board;
  // TIM3 exists on the chip but not on this board's bus.
  auto* tim3 = TL500_REG_BLOCK(TIM_TypeDef, 0x40000400u);
  std::string message = stopMessage([&] { (void)static_cast<std::uint16_t>(tim3->CR1); });
  EXPECT_NE(message.find("0x40000400"), std::string::npos) << message;
}

TEST(RegisterSeam, EveryAccessCostsVirtualTime) {
  sim::Board board;
  std::uint64_t before = board.clock().cycles();
  for (int i = 0; i < 10; ++i) (void)static_cast<std::uint32_t>(RCC->CR);
  EXPECT_EQ(board.clock().cycles() - before, 10u * sim::Board::kCyclesPerAccess);
}

TEST(RegisterSeam, WaitingWithNothingLeftToHappenStopsTheRun) {
  sim::Board board;
  // The board's parts settle first (the ZigBee module boots and announces
  // itself to a USART that is off); then nothing is left to happen.
  std::string message = stopMessage([] {
    for (int i = 0; i < 100; ++i) Platform_IdleHint();
  });
  EXPECT_NE(message.find("never happen"), std::string::npos) << message;
}

TEST(RegisterSeam, HaltingNamesThePlace) {
  sim::Board board;
  std::string message = stopMessage([] { Platform_Halt("HardFault_Handler"); });
  EXPECT_NE(message.find("HardFault_Handler"), std::string::npos) << message;
}

}  // namespace
