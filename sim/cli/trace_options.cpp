// --vcd FILE and --vcd-signals LIST: the board's signals recorded as a Value
// Change Dump for waveform viewers and protocol decoders.
#include "cli_extensions.h"
#include "sim/trace/trace_signals.h"

namespace {

std::string g_path;
std::string g_signals;

const sim::CliOptionRegistration kTrace{{
    .declare =
        [](CLI::App& app) {
          auto* vcd = app.add_option("--vcd", g_path,
                                     "record the board's signals into FILE, a Value Change Dump (timescale 1 ps) for "
                                     "waveform viewers and protocol decoders: LEDs, actuator outputs, inputs, DIP "
                                     "switches, ZigBee reset, PIR line, the serial lines and I2C buses bit by bit")
                          ->type_name("FILE");
          app.add_option("--vcd-signals", g_signals,
                         "trace only these (comma-separated): a name such as PC7_LED1, a pin (PC7), a board name "
                         "(LED1), a group (leds, actuators, inputs, dip, zigbee_reset, pir, console, zigbee, i2c) or "
                         "all")
              ->type_name("LIST")
              ->needs(vcd)
              ->check([](const std::string& list) {
                std::string error;
                return sim::selectTraceSignals(list, error) ? std::string() : error;
              });
        },
    .apply =
        [](sim::CliRun& run) {
          if (g_path.empty()) return;
          run.files.claimOutput("the trace", g_path);
          std::string unused;
          auto signals = sim::selectTraceSignals(g_signals.empty() ? "all" : g_signals, unused);
          auto trace = std::make_shared<sim::BoardTrace>(run.board, g_path, *signals);
          run.keep.push_back(trace);
          run.atEnd.push_back([trace](const sim::Stop* stop) {
            // A trace cut short must not pass for a complete one. A write that
            // failed during the run has ended it with this message already.
            if (trace->finish()) return sim::CliEndStatus{};
            bool endedRun = stop != nullptr && stop->what() == trace->error();
            if (!endedRun) std::fprintf(stderr, "tl500-sim: %s\n", trace->error().c_str());
            return sim::CliEndStatus{2, endedRun};
          });
        },
}};

}  // namespace
