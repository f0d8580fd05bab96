// The firmware's receive queues drop what arrives while they are full and
// count it; a run must not look clean when keys or ZigBee bytes were lost.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct QueueDrops {
  std::uint32_t console = 0;  // serial queue, USART1
  std::uint32_t zigbee = 0;   // comm queue, USART3
  bool any() const { return console != 0 || zigbee != 0; }
};

// The firmware's drop counters now.
QueueDrops readQueueDrops();
// "receive queues full: 1991 console key(s) and 0 ZigBee byte(s) dropped".
std::string describeQueueDrops(const QueueDrops& drops);

}  // namespace sim
