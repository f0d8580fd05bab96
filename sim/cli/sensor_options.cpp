// --seed N: the noise of the sensor chips' conversions; and the --help section
// listing every sensor value a script or --set may set.
#include "cli_extensions.h"
#include "sim/devices/sensor_values.h"

namespace {

std::optional<std::uint64_t> g_seed;

const sim::CliOptionRegistration kSensorOptions{{
    .declare =
        [](CLI::App& app) {
          app.add_option("--seed", g_seed,
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
