#include "serial_port_runner.h"

#include <cstdio>

namespace sim {

int runScriptOnSerialPort(const std::string& device, const std::string& scriptPath, bool verbose) {
  (void)scriptPath;
  (void)verbose;
  std::fprintf(stderr, "tl500-sim: --port %s: running scripts on a real board is not available yet\n", device.c_str());
  return 2;
}

}  // namespace sim
