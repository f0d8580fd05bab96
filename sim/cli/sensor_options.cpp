// --seed N: the noise of the sensor chips' conversions; and the --help section
// listing every sensor value a script or --set may set.
#include <algorithm>
#include <charconv>
#include <string_view>

#include "cli_extensions.h"
#include "sim/devices/sensor_values.h"
#include "sim/script/script.h"

namespace {

std::optional<std::uint64_t> g_seed;

// A seed is a whole number from 0 to 2^64 - 1, decimal or 0x hexadecimal. A
// sign or a number past the top would otherwise wrap to some other seed, and a
// run that names a seed must be the run of that seed.
std::uint64_t parseSeed(const std::string& text) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  auto isDigit = [base](char c) {
    return (c >= '0' && c <= '9') || (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
  };
  bool wellFormed = !digits.empty() && std::all_of(digits.begin(), digits.end(), isDigit);
  if (!wellFormed) throw CLI::ValidationError("--seed", "takes a whole number from 0 to 18446744073709551615, not " + sim::shownWord(text));
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (error == std::errc::result_out_of_range) {
    throw CLI::ValidationError("--seed", sim::shownWord(text) + " is too large (at most 18446744073709551615)");
  }
  if (error != std::errc() || end != digits.data() + digits.size()) {
    throw CLI::ValidationError("--seed", "takes a whole number from 0 to 18446744073709551615, not " + sim::shownWord(text));
  }
  return value;
}

const sim::CliOptionRegistration kSensorOptions{{
    .declare =
        [](CLI::App& app) {
          app.add_option_function<std::string>(
                 "--seed", [](const std::string& text) { g_seed = parseSeed(text); },
                         "add noise of the size the chips' datasheets give to every conversion, from a generator "
                         "seeded with N (the same N gives the same readings); without it no noise")
              ->type_name("N");
        },
    .apply =
        [](sim::CliRun& run) {
          if (g_seed) run.board.values().noise().seed(*g_seed);
        },
    .helpSection =
        [] {
          return "\nSensor values (--set NAME=VALUE, or set NAME VALUE in a script):\n" + sim::sensorValuesHelp();
        },
}};

}  // namespace
