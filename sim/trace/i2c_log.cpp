#include "i2c_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

std::string formatI2cTransaction(const I2cTransaction& t) {
  char head[64];
  std::snprintf(head, sizeof head, "%.9f %s 0x%02X %s addr:%s", toSeconds(t.start), t.bus.c_str(), t.address,
                t.read ? "read" : "write", t.addressAcknowledged ? "ACK" : "NACK");
  std::string line = head;
  for (const I2cTransaction::Byte& b : t.bytes) {
    char byte[16];
    std::snprintf(byte, sizeof byte, " %02X:%s", b.value, b.acknowledged ? "ACK" : "NACK");
    line += byte;
  }
  line += " end:";
  line += i2cEndName(t.end);
  if (t.busError) line += " bus-error";
  return line;
}

I2cLog::I2cLog(const std::string& path, I2cBus& bus1, I2cBus& bus2)
    : file_(std::fopen(path.c_str(), "w")), busOne_(bus1), busTwo_(bus2) {
  if (file_ == nullptr) throw std::runtime_error("cannot write the I2C log " + path + ": " + std::strerror(errno));
  bus1_ = bus1.onTransaction([this](const I2cTransaction& t) { write(t); });
  bus2_ = bus2.onTransaction([this](const I2cTransaction& t) { write(t); });
}

I2cLog::I2cLog(std::FILE* file, I2cBus& bus1, I2cBus& bus2)
    : file_(file), owned_(false), busOne_(bus1), busTwo_(bus2) {
  bus1_ = bus1.onTransaction([this](const I2cTransaction& t) { write(t); });
  bus2_ = bus2.onTransaction([this](const I2cTransaction& t) { write(t); });
}

I2cLog::~I2cLog() {
  bus1_.reset();
  bus2_.reset();
  for (const I2cBus* bus : {&busOne_, &busTwo_}) {
    if (const auto& open = bus->transactionInProgress()) {
      I2cTransaction ended = *open;
      ended.end = I2cTransaction::End::Open;
      write(ended);
    }
  }
  if (owned_) std::fclose(file_);
}

void I2cLog::write(const I2cTransaction& transaction) {
  std::string line = formatI2cTransaction(transaction) + "\n";
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size()) failed_ = true;
}

bool I2cLog::flush() {
  if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failed_ = true;
  return !failed_;
}

}  // namespace sim
