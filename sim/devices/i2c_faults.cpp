#include "i2c_faults.h"

#include <charconv>
#include <vector>

namespace sim {

namespace {

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

struct KindName {
  I2cFault::Kind kind;
  const char* name;
  bool takesCount;
};
constexpr KindName kKinds[] = {
    {I2cFault::Kind::Absent, "absent", false},
    {I2cFault::Kind::NackData, "nack-data", true},
    {I2cFault::Kind::ArbitrationLost, "arbitration-lost", true},
    {I2cFault::Kind::BusError, "bus-error", false},
    {I2cFault::Kind::SdaStuck, "sda-stuck", false},
    {I2cFault::Kind::StretchForever, "stretch-forever", false},
};

}  // namespace

std::optional<I2cFault> parseI2cFault(std::string_view text, std::string& error) {
  auto w = words(text);
  if (w.empty()) {
    error = "a fault kind is missing (absent, nack-data N, arbitration-lost N, bus-error, sda-stuck, stretch-forever)";
    return std::nullopt;
  }
  for (const auto& k : kKinds) {
    if (w[0] != k.name) continue;
    I2cFault fault{k.kind, 0};
    if (!k.takesCount) {
      if (w.size() != 1) {
        error = std::string(k.name) + " takes no count";
        return std::nullopt;
      }
      return fault;
    }
    if (w.size() != 2) {
      error = std::string(k.name) + " needs a byte number, e.g. '" + k.name + " 1'";
      return std::nullopt;
    }
    auto [end, ec] = std::from_chars(w[1].data(), w[1].data() + w[1].size(), fault.n);
    if (ec != std::errc() || end != w[1].data() + w[1].size() || fault.n > 255 ||
        (k.kind == I2cFault::Kind::NackData && fault.n == 0)) {
      error = std::string(k.name) + ": '" + std::string(w[1]) + "' is not a byte number (" +
              (k.kind == I2cFault::Kind::NackData ? "1" : "0") + "-255)";
      return std::nullopt;
    }
    return fault;
  }
  error = "unknown fault '" + std::string(w[0]) +
          "' (absent, nack-data N, arbitration-lost N, bus-error, sda-stuck, stretch-forever)";
  return std::nullopt;
}

std::optional<std::uint8_t> parseI2cAddress(std::string_view text, std::string& error) {
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value > 0x7F) {
    error = "'" + std::string(text) + "' is not a 7-bit I2C address (0x00-0x7F, e.g. 0x40)";
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

std::string describeI2cFault(const I2cFault& fault) {
  for (const auto& k : kKinds) {
    if (k.kind == fault.kind) return k.takesCount ? std::string(k.name) + " " + std::to_string(fault.n) : k.name;
  }
  return "?";
}

}  // namespace sim
