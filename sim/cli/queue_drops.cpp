#include "queue_drops.h"

#include "uart_queue.h"

namespace sim {

QueueDrops readQueueDrops() { return QueueDrops{uart_queue_serial_dropped, uart_queue_comm_dropped}; }

std::string describeQueueDrops(const QueueDrops& drops) {
  return "receive queues full: " + std::to_string(drops.console) + " console key(s) and " +
         std::to_string(drops.zigbee) + " ZigBee byte(s) dropped";
}

}  // namespace sim
