// --i2c-log FILE: one line per transaction on either I2C bus.
#include "cli_extensions.h"
#include "sim/trace/i2c_log.h"

namespace {

std::string g_path;

const sim::CliOptionRegistration kI2cLog{{
    .declare =
        [](CLI::App& app) {
          sim::addFileOption(app, "--i2c-log", g_path,
                             "write one line per I2C transaction to FILE: virtual time, bus, address, direction, bytes "
                             "with their acknowledges, how it ended");
        },
    .apply =
        [](sim::CliRun& run) {
          if (g_path.empty()) return;
          std::FILE* file = run.files.openOutput("the I2C log", g_path);
          run.keep.push_back(std::make_shared<sim::I2cLog>(file, run.board.i2cBus1(), run.board.i2cBus2()));
        },
}};

}  // namespace
