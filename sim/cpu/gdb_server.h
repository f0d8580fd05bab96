// A GDB remote serial protocol server for the emulated core: gdb-multiarch
// attaches with `target remote :PORT` as to a debug probe. Registers, memory,
// breakpoints, single step, continue and Ctrl-C. Virtual time stands still
// while the debugger holds the core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cortex_m3.h"

namespace sim {

class GdbServer {
 public:
  // Listens on 127.0.0.1:port (0: any free port, see port()); throws
  // std::runtime_error when it cannot.
  explicit GdbServer(std::uint16_t port);
  ~GdbServer();
  GdbServer(const GdbServer&) = delete;
  GdbServer& operator=(const GdbServer&) = delete;

  std::uint16_t port() const { return port_; }

  enum class End { Detached, Killed, Exited };
  // Waits for the debugger, then serves it until it detaches (the core then
  // runs on by itself), kills the run, or the image exits. sim::Stop from the
  // board passes through after the debugger has been told.
  End serve(CortexM3& core);

 private:
  std::optional<std::string> receivePacket();
  void sendPacket(const std::string& data);
  std::string handle(CortexM3& core, const std::string& packet, std::optional<End>& end);
  std::string resume(CortexM3& core, bool step, std::optional<End>& end);
  bool interruptRequested();

  int listenFd_ = -1;
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace sim
