// The host's vector table of the firmware: every exception slot of the
// STM32L1 medium-density chip by name, with the handler the firmware defines
// for it, found by its symbol as the image's vector table finds it.
#pragma once

#include <vector>

#include "../core/interrupt_controller.h"

namespace sim {

std::vector<InterruptController::Vector> firmwareVectors();

}  // namespace sim
