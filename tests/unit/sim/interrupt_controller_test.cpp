// The interrupt controller as the firmware sets it up: priority grouping,
// pre-emption and nesting, sub-priority order, PRIMASK, unused vectors and
// level-triggered lines.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "sim/board.h"
#include "sim/core/stop.h"
#include "sim/host/firmware_vectors.h"

// A handler defined by this program alone and listed nowhere else: the host's
// vector table must find it by its name, as the image's does.
extern "C" void LCD_IRQHandler(void);
static int g_lcdEntries = 0;
extern "C" void LCD_IRQHandler(void) { ++g_lcdEntries; }

namespace {

using sim::InterruptController;

// Three test interrupt lines with recording handlers, and one line without a handler.
constexpr IRQn_Type kLineA = EXTI0_IRQn;
constexpr IRQn_Type kLineB = EXTI1_IRQn;
constexpr IRQn_Type kLineC = EXTI2_IRQn;
constexpr IRQn_Type kUnused = EXTI4_IRQn;

std::vector<std::string> g_order;
std::function<void()> g_body[3];

template <int N>
void recordingHandler() {
  static const char* const names[] = {"A", "B", "C"};
  g_order.push_back(std::string("enter ") + names[N]);
  if (g_body[N]) g_body[N]();
  g_order.push_back(std::string("leave ") + names[N]);
}

sim::BoardConfig testConfig() {
  std::vector<InterruptController::Vector> vectors(InterruptController::kExceptions,
                                                   InterruptController::Vector{"reserved", nullptr});
  vectors[InterruptController::irq(kLineA)] = {"EXTI0", recordingHandler<0>};
  vectors[InterruptController::irq(kLineB)] = {"EXTI1", recordingHandler<1>};
  vectors[InterruptController::irq(kLineC)] = {"EXTI2", recordingHandler<2>};
  vectors[InterruptController::irq(kUnused)] = {"EXTI4", nullptr};
  return sim::BoardConfig{.crystal = true, .timing = {}, .vectors = std::move(vectors)};
}

// One register access: the core takes whatever may pre-empt it now.
void registerAccess() { (void)static_cast<std::uint32_t>(SCB->ICSR); }

void enable(IRQn_Type line, std::uint8_t preemption, std::uint8_t sub) {
  NVIC_InitTypeDef init{static_cast<std::uint8_t>(line), preemption, sub, ENABLE};
  NVIC_Init(&init);
}

class InterruptControllerTest : public ::testing::Test {
 protected:
  InterruptControllerTest() : board(testConfig()) {
    g_order.clear();
    for (auto& body : g_body) body = nullptr;
    NVIC_PriorityGroupConfig(NVIC_PriorityGroup_2);
  }
  ~InterruptControllerTest() override {
    for (auto& body : g_body) body = nullptr;
  }

  void pend(IRQn_Type line) { board.interrupts().setPending(InterruptController::irq(line)); }

  struct Priority {
    std::uint8_t preemption;
    std::uint8_t sub;
  };
  // Line A's handler runs; halfway through it line B becomes pending. Returns
  // the order in which the handlers entered and left.
  std::vector<std::string> bArrivingWhileARuns(Priority a, Priority b) {
    enable(kLineA, a.preemption, a.sub);
    enable(kLineB, b.preemption, b.sub);
    g_body[0] = [this] {
      pend(kLineB);
      registerAccess();
      g_order.push_back("A goes on");
    };
    pend(kLineA);
    registerAccess();
    return g_order;
  }

  sim::Board board;
};

using Order = std::vector<std::string>;

TEST_F(InterruptControllerTest, GroupingTwoSplitsRawPrioritiesIntoPreemptionAndSubPriority) {
  auto& ic = board.interrupts();
  NVIC_SetPriority(kLineA, 1);
  EXPECT_EQ(ic.preemptionPriority(InterruptController::irq(kLineA)), 0u);
  EXPECT_EQ(ic.subPriority(InterruptController::irq(kLineA)), 1u);

  NVIC_SetPriority(SysTick_IRQn, 15);
  EXPECT_EQ(ic.preemptionPriority(InterruptController::kSysTick), 3u);
  EXPECT_EQ(ic.subPriority(InterruptController::kSysTick), 3u);
  EXPECT_EQ(SCB->SHPR[11], 0xF0);

  enable(kLineB, 2, 1);
  EXPECT_EQ(NVIC->IP[kLineB], 0x90);
  EXPECT_EQ(ic.preemptionPriority(InterruptController::irq(kLineB)), 2u);
  EXPECT_EQ(ic.subPriority(InterruptController::irq(kLineB)), 1u);
  EXPECT_TRUE(ic.isEnabled(InterruptController::irq(kLineB)));
}

TEST_F(InterruptControllerTest, InitPlacesPreemptionAndSubPriorityUnderEveryGrouping) {
  auto& ic = board.interrupts();
  const int exc = InterruptController::irq(kLineA);
  for (std::uint32_t group = 0; group <= 7; ++group) {
    SCOPED_TRACE("PRIGROUP " + std::to_string(group));
    NVIC_PriorityGroupConfig(group << SCB_AIRCR_PRIGROUP_Pos);
    const unsigned preBits = group <= 3 ? 4 : 7 - group;
    const unsigned subBits = 4 - preBits;
    // The highest value each part can hold, then the lowest non-zero one.
    const std::uint8_t preMax = static_cast<std::uint8_t>((1u << preBits) - 1u);
    const std::uint8_t subMax = static_cast<std::uint8_t>((1u << subBits) - 1u);
    enable(kLineA, preMax, subMax);
    EXPECT_EQ(NVIC->IP[kLineA], 0xF0);
    EXPECT_EQ(ic.preemptionPriority(exc), preMax);
    EXPECT_EQ(ic.subPriority(exc), subMax);
    enable(kLineA, preBits > 0 ? 1 : 0, subBits > 0 ? 1 : 0);
    EXPECT_EQ(ic.preemptionPriority(exc), preBits > 0 ? 1u : 0u);
    EXPECT_EQ(ic.subPriority(exc), subBits > 0 ? 1u : 0u);
    EXPECT_EQ(NVIC->IP[kLineA], ((preBits > 0 ? 1u << subBits : 0u) | (subBits > 0 ? 1u : 0u)) << 4);
  }
}

TEST_F(InterruptControllerTest, ClearingThePendingStateOfAStillAssertedLineLeavesItPending) {
  __disable_irq();
  enable(kLineA, 1, 0);
  board.interrupts().setLine(kLineA, true);
  NVIC->ICPR[0] = 1u << kLineA;
  EXPECT_TRUE(board.interrupts().isPending(InterruptController::irq(kLineA)));
  board.interrupts().setLine(kLineA, false);
  NVIC->ICPR[0] = 1u << kLineA;
  EXPECT_FALSE(board.interrupts().isPending(InterruptController::irq(kLineA)));
  __enable_irq();
  EXPECT_TRUE(g_order.empty());
}

TEST_F(InterruptControllerTest, AChannelDisabledThroughInitWaitsUntilEnabledAgain) {
  enable(kLineA, 1, 0);
  NVIC_InitTypeDef off{static_cast<std::uint8_t>(kLineA), 0, 0, DISABLE};
  NVIC_Init(&off);
  pend(kLineA);
  registerAccess();
  EXPECT_TRUE(g_order.empty());
  NVIC_EnableIRQ(kLineA);
  EXPECT_EQ(g_order, (Order{"enter A", "leave A"}));
}

TEST_F(InterruptControllerTest, AHigherPreemptionLevelInterruptsARunningHandler) {
  EXPECT_EQ(bArrivingWhileARuns({2, 0}, {1, 0}), (Order{"enter A", "enter B", "leave B", "A goes on", "leave A"}));
}

TEST_F(InterruptControllerTest, AnEqualLevelWaitsUntilTheRunningHandlerReturns) {
  // B's lower sub-priority number does not let it pre-empt A.
  EXPECT_EQ(bArrivingWhileARuns({1, 3}, {1, 0}), (Order{"enter A", "A goes on", "leave A", "enter B", "leave B"}));
}

TEST_F(InterruptControllerTest, ALowerPreemptionLevelWaitsUntilTheRunningHandlerReturns) {
  EXPECT_EQ(bArrivingWhileARuns({1, 0}, {2, 0}), (Order{"enter A", "A goes on", "leave A", "enter B", "leave B"}));
}

TEST_F(InterruptControllerTest, AmongEqualPreemptionTheLowerSubPriorityGoesFirst) {
  enable(kLineA, 1, 2);
  enable(kLineB, 1, 1);
  enable(kLineC, 1, 3);
  pend(kLineA);
  pend(kLineC);
  pend(kLineB);
  registerAccess();
  EXPECT_EQ(g_order, (Order{"enter B", "leave B", "enter A", "leave A", "enter C", "leave C"}));
}

TEST_F(InterruptControllerTest, PrimaskHoldsEveryInterruptUntilReleased) {
  enable(kLineA, 0, 0);
  enable(kLineB, 3, 3);
  __disable_irq();
  pend(kLineB);
  pend(kLineA);
  for (int i = 0; i < 5; ++i) registerAccess();
  board.clock().spendCycles(1000);
  registerAccess();
  EXPECT_TRUE(g_order.empty());
  __enable_irq();
  EXPECT_EQ(g_order, (Order{"enter A", "leave A", "enter B", "leave B"}));
}

TEST_F(InterruptControllerTest, AVectorWithoutHandlerStopsTheRunNamingIt) {
  NVIC_EnableIRQ(kUnused);
  pend(kUnused);
  try {
    registerAccess();
    FAIL() << "the unused vector was taken without stopping the run";
  } catch (const sim::Stop& stop) {
    EXPECT_EQ(stop.kind(), sim::StopKind::Fault);
    EXPECT_NE(std::string(stop.what()).find("EXTI4"), std::string::npos) << stop.what();
  }
}

TEST_F(InterruptControllerTest, ALevelStillAssertedWhenTheHandlerReturnsIsTakenAgain) {
  enable(kLineA, 1, 0);
  int entries = 0;
  g_body[0] = [this, &entries] {
    // The third entry finally clears the source.
    if (++entries == 3) board.interrupts().setLine(kLineA, false);
  };
  board.interrupts().setLine(kLineA, true);
  registerAccess();
  EXPECT_EQ(entries, 3);
  registerAccess();
  EXPECT_EQ(entries, 3);
}

TEST(FirmwareVectorTable, AHandlerDefinedAnywhereInTheProgramIsTakenThroughItsVector) {
  sim::Board board{sim::BoardConfig{.crystal = true, .timing = {}, .vectors = sim::firmwareVectors()}};
  NVIC_EnableIRQ(LCD_IRQn);
  board.interrupts().setPending(InterruptController::irq(LCD_IRQn));
  registerAccess();
  EXPECT_EQ(g_lcdEntries, 1);
}

TEST(FirmwareVectorTable, AVectorTheFirmwareLeavesEmptyStopsTheRunNamingIt) {
  sim::Board board{sim::BoardConfig{.crystal = true, .timing = {}, .vectors = sim::firmwareVectors()}};
  NVIC_EnableIRQ(DMA1_Channel7_IRQn);
  board.interrupts().setPending(InterruptController::irq(DMA1_Channel7_IRQn));
  try {
    registerAccess();
    FAIL() << "an empty vector was taken";
  } catch (const sim::Stop& stop) {
    EXPECT_NE(std::string(stop.what()).find("DMA1_Channel7"), std::string::npos) << stop.what();
  }
}

}  // namespace
