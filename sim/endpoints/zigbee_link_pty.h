// A pseudo-terminal plays the peer of the ZigBee module: what the board sends
// over the air comes out there, and what a program writes there is received
// over the air. Like a live console, it makes the run follow the wall clock.
#pragma once

#include <chrono>
#include <string>

#include "zigbee_link.h"

namespace sim {

class ZigBeePtyLink : public ZigBeeLink {
 public:
  // Virtual interval between two looks at the wall clock and the pseudo-terminal.
  static constexpr Time kTick = milliseconds(1);

  // Opens the pseudo-terminal; throws std::runtime_error when it cannot.
  ZigBeePtyLink(Clock& clock, ZigBeeModule& module);
  ~ZigBeePtyLink() override;

  const std::string& path() const { return path_; }
  void fromModule(std::uint8_t byte) override;
  void start() override;
  std::string announcement() const override { return "zigbee: " + path_; }

 private:
  void tick();

  Clock& clock_;
  ZigBeeModule& module_;
  int master_ = -1, slave_ = -1;
  std::string path_;
  Clock::EventId tickEvent_ = 0;
  Time virtualStart_ = 0;
  std::chrono::steady_clock::time_point wallStart_{};
};

}  // namespace sim
