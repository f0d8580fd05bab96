// The physical values the board's sensor chips see: the temperature of the
// room, the air pressure, the light on the board, how it is held and turned,
// the magnetic field around it, and whether someone moves in front of the PIR
// sensor. Each has a name, a unit, a range and a default (a board lying on a
// desk in an office); scripts and the command line set them by name.
//
// Beside the physical values, raw chip counts ("htu21.temperature.raw") give a
// test exact bytes on the bus; setting one replaces the physical value of the
// same quantity until the physical value is set again.
//
// Optional noise: with a seed, each conversion of a chip adds noise of about
// the size its datasheet states, from one seeded generator, so runs with the
// same seed give the same readings.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct SensorValueInfo {
  enum class Kind {
    Number,  // a physical value, decimal
    Count,   // a raw chip count: decimal or 0x hexadecimal, whole numbers only
    OnOff,   // on or off
  };
  std::string name;
  Kind kind = Kind::Number;
  unsigned components = 1;  // 3 for the axes of the motion sensor
  double min = 0, max = 0;  // per component
  std::vector<double> defaults;
  std::string unit;         // "degC", "%RH", "hPa", "lx", "g", "deg/s", "uT", "" for counts
  std::string description;  // one line for --help
  // Counts given in hexadecimal from 2^(bits-1) up to 2^bits - 1 are taken as
  // two's complement, so 0xFFFE reads as -2 for a signed 16-bit count. 0: no such reading.
  unsigned signedBits = 0;
};

// Every value the virtual board knows, in the order --help lists them.
const std::vector<SensorValueInfo>& sensorValueInfos();
const SensorValueInfo* findSensorValueInfo(std::string_view name);

// "htu21.temperature 23.4", "mpu9150.accel 0 0 1", "pir.motion on" after parsing.
struct SensorValueSetting {
  std::string name;
  std::vector<double> values;
};

// A value that cannot be set: unknown name, wrong number of components, not a
// number, out of range. The message says which and what is allowed.
class SensorValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Parses the value text of one setting ("23.4", "0 0 1", "0x6664", "on");
// throws SensorValueError.
SensorValueSetting parseSensorValue(std::string_view name, std::string_view valueText);
// "NAME=VALUE" as given on the command line.
SensorValueSetting parseSensorAssignment(std::string_view assignment);

// The table of every name with unit, range and default, for --help.
std::string sensorValuesHelp();

// The seeded noise of the chips' conversions. Off unless seeded.
class SensorNoise {
 public:
  void seed(std::uint64_t seed) {
    generator_.seed(seed);
    enabled_ = true;
  }
  bool enabled() const { return enabled_; }
  // A normally distributed deviation with standard deviation `sigma`; 0 when off.
  double gaussian(double sigma) {
    if (!enabled_ || sigma <= 0) return 0;
    return std::normal_distribution<double>(0.0, sigma)(generator_);
  }

 private:
  std::mt19937_64 generator_;
  bool enabled_ = false;
};

// The values of one board: each chip model binds the names it answers to; a
// setting goes to the model that bound its name.
class SensorValues {
 public:
  using Apply = std::function<void(const std::vector<double>&)>;

  // The model of a chip takes the values of `name` from now on; it is given
  // the default at once.
  void bind(const std::string& name, Apply apply);

  // Throws SensorValueError for a name that no model of this board answers to.
  void set(const SensorValueSetting& setting);
  void set(std::string_view name, std::string_view valueText) { set(parseSensorValue(name, valueText)); }

  // The values last set (or the defaults).
  const std::vector<double>& get(const std::string& name) const;

  SensorNoise& noise() { return noise_; }

 private:
  struct Entry {
    std::vector<double> values;
    Apply apply;
  };
  std::map<std::string, Entry, std::less<>> entries_;
  SensorNoise noise_;
};

}  // namespace sim
