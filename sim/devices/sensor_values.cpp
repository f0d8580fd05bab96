#include "sensor_values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

using Kind = SensorValueInfo::Kind;

SensorValueInfo number(std::string name, unsigned components, double min, double max, std::vector<double> defaults,
                       std::string unit, std::string description) {
  return {std::move(name), Kind::Number,           components, min, max, std::move(defaults),
          std::move(unit), std::move(description), 0};
}

SensorValueInfo count(std::string name, unsigned components, double min, double max, unsigned signedBits,
                      std::string description) {
  return {std::move(name), Kind::Count, components, min, max, {}, "count", std::move(description), signedBits};
}

std::vector<SensorValueInfo> makeValueInfos() {
  return {
      number("htu21.temperature", 1, -40, 125, {23.4}, "degC", "HTU21 air temperature"),
      count("htu21.temperature.raw", 1, 0, 0xFFFF, 0, "HTU21 temperature reply, status bits included"),
      number("htu21.humidity", 1, 0, 100, {45}, "%RH", "HTU21 relative humidity"),
      count("htu21.humidity.raw", 1, 0, 0xFFFF, 0, "HTU21 humidity reply, status bits included"),
      number("lps25h.pressure", 1, 260, 1260, {1013.25}, "hPa", "LPS25H air pressure"),
      count("lps25h.pressure.raw", 1, -8388608, 8388607, 24, "LPS25H pressure output, 1/4096 hPa, 24-bit signed"),
      number("lps25h.temperature", 1, -30, 105, {25.4}, "degC", "LPS25H temperature"),
      count("lps25h.temperature.raw", 1, -32768, 32767, 16, "LPS25H temperature output, 16-bit signed"),
      number("bh17.lux", 1, 0, 54612.5, {333.3}, "lx", "BH17 illuminance"),
      count("bh17.lux.raw", 1, 0, 0xFFFF, 0, "BH17 measurement result (high-resolution mode)"),
      number("mpu9150.accel", 3, -16, 16, {0, 0, 1}, "g",
             "MPU-9150 acceleration X Y Z (1 g of gravity on Z lying flat)"),
      count("mpu9150.accel.raw", 3, -32768, 32767, 16, "MPU-9150 accelerometer outputs X Y Z"),
      number("mpu9150.gyro", 3, -2000, 2000, {0, 0, 0}, "deg/s", "MPU-9150 rotation rate X Y Z"),
      count("mpu9150.gyro.raw", 3, -32768, 32767, 16, "MPU-9150 gyroscope outputs X Y Z"),
      number("mpu9150.temperature", 1, -40, 85, {26}, "degC", "MPU-9150 die temperature"),
      number("mpu9150.mag", 3, -1229, 1229, {22, 5, -42}, "uT", "MPU-9150 magnetometer field X Y Z"),
      count("mpu9150.mag.raw", 3, -4096, 4095, 16, "MPU-9150 magnetometer outputs X Y Z (0.3 uT per count)"),
      {"pir.motion", Kind::OnOff, 1, 0, 1, {0}, "on|off", "motion in front of the PIR sensor", 0},
  };
}

std::string formatNumber(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

std::string formatRange(const SensorValueInfo& valueInfo) {
  if (valueInfo.kind == Kind::OnOff) return "on|off";
  return formatNumber(valueInfo.min) + ".." + formatNumber(valueInfo.max);
}

std::string formatDefault(const SensorValueInfo& valueInfo) {
  if (valueInfo.defaults.empty()) return "(from the physical value)";
  if (valueInfo.kind == Kind::OnOff) return valueInfo.defaults[0] != 0 ? "on" : "off";
  std::string out;
  for (double d : valueInfo.defaults) {
    if (!out.empty()) out += ' ';
    out += formatNumber(d);
  }
  return out;
}

std::vector<std::string> splitWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != ',') ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

double parseComponent(const SensorValueInfo& valueInfo, const std::string& word) {
  auto bad = [&](const std::string& why) {
    // An on/off value has no unit beside its range.
    std::string unit = valueInfo.kind == Kind::OnOff ? std::string() : " " + valueInfo.unit;
    return SensorValueError(valueInfo.name + ": " + why + " (range " + formatRange(valueInfo) + unit + ")");
  };
  if (valueInfo.kind == Kind::OnOff) {
    if (word == "on") return 1;
    if (word == "off") return 0;
    throw bad("expected on or off, got '" + word + "'");
  }
  const char* begin = word.c_str();
  char* end = nullptr;
  errno = 0;
  double value = 0;
  bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  if (valueInfo.kind == Kind::Count) {
    if (hex) {
      unsigned long long u = std::strtoull(begin + 2, &end, 16);
      if (*end != '\0' || errno != 0 || end == begin + 2) throw bad("'" + word + "' is not a count");
      if (valueInfo.signedBits > 0 && valueInfo.signedBits < 64) {
        unsigned long long full = 1ULL << valueInfo.signedBits;
        if (u >= full) throw bad("'" + word + "' does not fit in " + std::to_string(valueInfo.signedBits) + " bits");
        // The bit pattern of a negative count.
        value = u >= full / 2 ? static_cast<double>(u) - static_cast<double>(full) : static_cast<double>(u);
      } else {
        value = static_cast<double>(u);
      }
    } else {
      long long s = std::strtoll(begin, &end, 10);
      if (*end != '\0' || end == begin) throw bad("'" + word + "' is not a whole count");
      if (errno == ERANGE) throw bad("'" + word + "' is too large");
      value = static_cast<double>(s);
    }
  } else {
    value = std::strtod(begin, &end);
    if (*end != '\0' || end == begin || std::isnan(value)) throw bad("'" + word + "' is not a number");
    // Past the largest double (1e400, inf) is a number, only far too large;
    // below the smallest (1e-400) it is as good as 0.
    if (std::isinf(value)) throw bad("'" + word + "' is too large");
    if (errno == ERANGE) value = 0;
  }
  if (value < valueInfo.min || value > valueInfo.max) throw bad(word + " is out of range");
  return value;
}

}  // namespace

const std::vector<SensorValueInfo>& sensorValueInfos() {
  static const std::vector<SensorValueInfo> valueInfos = makeValueInfos();
  return valueInfos;
}

const SensorValueInfo* findSensorValueInfo(std::string_view name) {
  for (const auto& valueInfo : sensorValueInfos()) {
    if (valueInfo.name == name) return &valueInfo;
  }
  return nullptr;
}

SensorValueSetting parseSensorValue(std::string_view name, std::string_view valueText) {
  const SensorValueInfo* valueInfo = findSensorValueInfo(name);
  if (valueInfo == nullptr) {
    throw SensorValueError("no sensor value named '" + std::string(name) + "' (tl500-sim --help lists them)");
  }
  std::vector<std::string> words = splitWords(valueText);
  if (words.size() != valueInfo->components) {
    throw SensorValueError(valueInfo->name + ": expected " + std::to_string(valueInfo->components) +
                           (valueInfo->components == 1 ? " value" : " values (X Y Z)") + ", got " +
                           std::to_string(words.size()));
  }
  SensorValueSetting setting{valueInfo->name, {}};
  for (const auto& w : words) setting.values.push_back(parseComponent(*valueInfo, w));
  return setting;
}

SensorValueSetting parseSensorAssignment(std::string_view assignment) {
  std::size_t eq = assignment.find('=');
  if (eq == std::string_view::npos) {
    throw SensorValueError("expected NAME=VALUE, got '" + std::string(assignment) + "'");
  }
  return parseSensorValue(assignment.substr(0, eq), assignment.substr(eq + 1));
}

std::string sensorValuesHelp() {
  std::ostringstream out;
  char line[200];
  std::snprintf(line, sizeof line, "  %-24s %-8s %-22s %s\n", "NAME", "UNIT", "RANGE", "DEFAULT");
  out << line;
  for (const auto& valueInfo : sensorValueInfos()) {
    std::snprintf(line, sizeof line, "  %-24s %-8s %-22s %s\n", valueInfo.name.c_str(), valueInfo.unit.c_str(),
                  formatRange(valueInfo).c_str(), formatDefault(valueInfo).c_str());
    out << line << "      " << valueInfo.description << (valueInfo.components == 3 ? " (three values)" : "") << "\n";
  }
  return out.str();
}

void SensorValues::bind(const std::string& name, Apply apply) {
  const SensorValueInfo* valueInfo = findSensorValueInfo(name);
  if (valueInfo == nullptr) throw std::logic_error("a model binds the unknown sensor value " + name);
  Entry& entry = entries_[name];
  entry.apply = std::move(apply);
  entry.values = valueInfo->defaults;
  if (!entry.values.empty()) entry.apply(entry.values);
}

void SensorValues::set(const SensorValueSetting& setting) {
  auto it = entries_.find(setting.name);
  if (it == entries_.end()) {
    throw SensorValueError("no chip of this board answers to the sensor value '" + setting.name + "'");
  }
  it->second.values = setting.values;
  it->second.apply(setting.values);
}

const std::vector<double>& SensorValues::get(const std::string& name) const {
  auto it = entries_.find(name);
  if (it == entries_.end()) throw SensorValueError("no sensor value named '" + name + "'");
  return it->second.values;
}

}  // namespace sim
