// The console part of a script run against a real board on a serial port.
#pragma once

#include <string>

namespace sim {

// Runs `scriptPath` against the board on `device` (115200 8N1); returns the
// exit status as tl500-sim documents it.
int runScriptOnSerialPort(const std::string& device, const std::string& scriptPath, bool verbose);

}  // namespace sim
