#include "console_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

ConsoleLog::ConsoleLog(SerialEndpoint& line, const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
  if (file_ == nullptr) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  listen(line);
}

ConsoleLog::ConsoleLog(SerialEndpoint& line, std::FILE* file) : file_(file), owned_(false) { listen(line); }

void ConsoleLog::listen(SerialEndpoint& line) {
  // Whole lines reach the file as they come, so it can be followed live.
  // (Standard output keeps the buffering it has.)
  if (file_ != stdout) std::setvbuf(file_, nullptr, _IOLBF, 4096);
  bytes_ = line.onByte([this](std::uint8_t byte) {
    if (std::fputc(byte, file_) == EOF && !failed_) {
      failed_ = true;
      error_ = errno;
    }
  });
}

ConsoleLog::~ConsoleLog() {
  bytes_.reset();
  if (owned_) std::fclose(file_);
}

bool ConsoleLog::flush() { return std::fflush(file_) == 0 && !failed_ && !std::ferror(file_); }

}  // namespace sim
