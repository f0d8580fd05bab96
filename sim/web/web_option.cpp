// --web PORT: the board's page for a live run, on 127.0.0.1 unless
// --web-address names another address.
#include <cstdio>

#include "sim/cli/cli_extensions.h"
#include "sim/endpoints/live_pace.h"
#include "web_endpoint.h"

namespace {

int g_port = -1;
std::string g_address = "127.0.0.1";

const sim::CliOptionRegistration kWebOption{{
    .declare =
        [](CLI::App& app) {
          auto* web = app.add_option("--web", g_port,
                                     "serve the board's page for this live run on http://127.0.0.1:PORT/ (0 picks "
                                     "a free port; the address is printed on standard error): the board drawn with "
                                     "its LEDs, outputs, switches, PIR and sensor values, the console and the ZigBee "
                                     "line as terminals, faults, speed, pause and continue, all through the "
                                     "monitor's commands")
                         ->type_name("PORT")
                         ->check(CLI::Range(0, 65535))
                         ->excludes("--script");
          app.add_option("--web-address", g_address,
                         "with --web, listen on ADDR instead of 127.0.0.1 (anyone who can reach it can drive the "
                         "board)")
              ->type_name("ADDR")
              ->needs(web);
        },
    .apply =
        [](sim::CliRun& run) {
          if (g_port < 0) return;
          auto web = std::make_shared<sim::WebEndpoint>(run.board, g_address, g_port);
          std::fprintf(stderr, "tl500-sim: the board's page: %s\n", web->server().url().c_str());
          std::fflush(stderr);
          run.keep.push_back(web);
          sim::WebEndpoint* endpoint = web.get();
          sim::livePace().idle = [endpoint] { endpoint->idle(); };
          run.atEnd.push_back([endpoint](const sim::Stop*) {
            sim::livePace().idle = nullptr;
            endpoint->finish();
            // A request refused (a foreign page, a malformed message) is input
            // the board never took: it shows in the exit status.
            if (unsigned refused = endpoint->server().refused(); refused != 0) {
              std::fprintf(stderr, "tl500-sim: web: %u request(s) refused\n", refused);
              return sim::CliEndStatus{.finding = sim::OptionFinding::InputRefused};
            }
            return sim::CliEndStatus{};
          });
        },
}};

}  // namespace
