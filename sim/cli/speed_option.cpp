// --speed realtime|N|max: the pace of a live run from its start; the monitor's
// `speed` command changes it during the run.
#include "cli_extensions.h"
#include "sim/endpoints/live_pace.h"

namespace {

std::string g_speed;

const sim::CliOptionRegistration kSpeedOption{{
    .declare =
        [](CLI::App& app) {
          app.add_option("--speed", g_speed,
                         "pace of a live run: realtime (default), N for N times the wall clock (10, 100, 0.5), or "
                         "max: as fast as the host allows, at real time for a second after each key typed on the "
                         "console; the monitor's `speed` command changes it. A script always runs at full speed")
              ->type_name("SPEED")
              ->check([](const std::string& text) {
                std::string error;
                return sim::parseSpeed(text, error) ? std::string() : error;
              });
        },
    .apply =
        [](sim::CliRun&) {
          if (g_speed.empty()) return;
          std::string error;
          sim::setLiveSpeed(*sim::parseSpeed(g_speed, error));
        },
}};

}  // namespace
