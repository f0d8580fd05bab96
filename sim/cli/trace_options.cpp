// --vcd FILE, --vcd-signals LIST and --vcd-timescale UNIT: the board's signals
// recorded as a Value Change Dump for waveform viewers and protocol decoders.
#include "cli_extensions.h"
#include "sim/trace/trace_signals.h"

namespace {

std::string g_path;
std::string g_signals;
std::string g_unit;

const sim::CliOptionRegistration kTrace{{
    .declare =
        [](CLI::App& app) {
          auto* vcd =
              sim::addFileOption(app, "--vcd", g_path,
                                 "record the board's signals into FILE, a Value Change Dump for waveform viewers "
                                 "and protocol decoders, which open it as it is (no import options): LEDs, "
                                 "actuator outputs, inputs, DIP switches, ZigBee reset, PIR line, the serial "
                                 "lines and I2C buses bit by bit");
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
          app.add_option("--vcd-timescale", g_unit,
                         "the trace's time unit: 100ns (default: a second of trace opens in moments, I2C at 400 kHz "
                         "and 115200 bit/s decode), finer for a close look at edges (10ns, 1ns, 100ps, 10ps, 1ps) "
                         "or coarser for hours of LEDs (1us, 10us, 100us). Edges less than a unit apart are written "
                         "a unit apart, in their order")
              ->type_name("UNIT")
              ->needs(vcd)
              ->check([](const std::string& unit) {
                return sim::VcdWriter::parseUnit(unit) != 0
                           ? std::string()
                           : "no time unit '" + unit + "': 1ps 10ps 100ps 1ns 10ns 100ns 1us 10us 100us";
              });
        },
    .apply =
        [](sim::CliRun& run) {
          if (g_path.empty()) return;
          run.files.claimOutput("the trace", g_path);
          std::string unused;
          auto signals = sim::selectTraceSignals(g_signals.empty() ? "all" : g_signals, unused);
          std::uint64_t unit = g_unit.empty() ? sim::VcdWriter::kDefaultUnitPs : sim::VcdWriter::parseUnit(g_unit);
          auto trace = std::make_shared<sim::BoardTrace>(run.board, g_path, *signals, unit);
          run.keep.push_back(trace);
          run.atEnd.push_back([trace](const sim::Stop* stop) {
            // A trace cut short must not pass for a complete one. A write that
            // failed during the run has ended it with this message already.
            if (trace->finish()) return sim::CliEndStatus{};
            bool endedRun = stop != nullptr && stop->what() == trace->error();
            if (!endedRun) std::fprintf(stderr, "tl500-sim: %s\n", trace->error().c_str());
            return sim::CliEndStatus{sim::OptionFinding::OutputFailed, endedRun};
          });
        },
}};

}  // namespace
