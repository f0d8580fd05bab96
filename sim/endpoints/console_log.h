// Raw log of a serial line: every byte the far end received from the board,
// as it was on the wire (CR LF included), written as it arrives.
#pragma once

#include <cstdio>
#include <string>

#include "../devices/serial_endpoint.h"

namespace sim {

class ConsoleLog {
 public:
  // Opens (truncates) the file; throws std::runtime_error when it cannot.
  ConsoleLog(SerialEndpoint& line, const std::string& path);
  // Writes to a file opened elsewhere, which stays open (and is the owner's to check).
  ConsoleLog(SerialEndpoint& line, std::FILE* file);
  ~ConsoleLog();
  ConsoleLog(const ConsoleLog&) = delete;
  ConsoleLog& operator=(const ConsoleLog&) = delete;

  // Writes out what is buffered; false when a write failed.
  bool flush();
  // Why the first failed write failed (an errno value); 0 when none has.
  int error() const { return error_; }

 private:
  void listen(SerialEndpoint& line);

  std::FILE* file_;
  bool owned_ = true;
  bool failed_ = false;
  int error_ = 0;
  Subscription bytes_;
};

}  // namespace sim
