#include "firmware_vectors.h"

#include "../../platform/vectors.h"

// Weak references: a handler the firmware defines anywhere fills its slot; one
// it does not define stays null, and taking that vector stops the run naming it
// (the image parks in its default handler instead).
extern "C" {
#define TL500_DECLARE_CORE_HANDLER(number, irqn, name, handler) void handler(void) __attribute__((weak));
#define TL500_DECLARE_DEVICE_HANDLER(line, name) void name##_IRQHandler(void) __attribute__((weak));
TL500_CORE_EXCEPTIONS(TL500_DECLARE_CORE_HANDLER)
TL500_DEVICE_INTERRUPTS(TL500_DECLARE_DEVICE_HANDLER)
#undef TL500_DECLARE_CORE_HANDLER
#undef TL500_DECLARE_DEVICE_HANDLER
}

namespace sim {

static_assert(InterruptController::kExceptions == TL500_VECTOR_SLOTS,
              "the interrupt controller has a slot for every vector of the chip");

std::vector<InterruptController::Vector> firmwareVectors() {
  std::vector<InterruptController::Vector> table(InterruptController::kExceptions,
                                                 InterruptController::Vector{"reserved", nullptr});
  table[0].name = "initial stack pointer";
  table[1].name = "Reset";
#define TL500_FILL_CORE_SLOT(number, irqn, name, handler) table[number] = InterruptController::Vector{name, handler};
#define TL500_FILL_DEVICE_SLOT(line, name) \
  table[TL500_CORE_VECTOR_SLOTS + (line)] = InterruptController::Vector{#name, name##_IRQHandler};
  TL500_CORE_EXCEPTIONS(TL500_FILL_CORE_SLOT)
  TL500_DEVICE_INTERRUPTS(TL500_FILL_DEVICE_SLOT)
#undef TL500_FILL_CORE_SLOT
#undef TL500_FILL_DEVICE_SLOT
  return table;
}

}  // namespace sim
