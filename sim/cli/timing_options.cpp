// --timing-seed N: where each timing of the board falls in its range.
// --irq-log FILE: one line per exception entry and return.
#include <cstdint>
#include <string>

#include "cli_extensions.h"
#include "sim/trace/irq_log.h"

namespace {

std::string g_seed;
std::string g_irqLog;

constexpr const char* kSeedRange = "a whole number from 0 to 18446744073709551615";

// Digits only, at most 2^64 - 1: no sign, no spaces, no other base.
bool parseSeed(const std::string& text, std::uint64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (~std::uint64_t{0} - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

const sim::CliOptionRegistration kTiming{{
    .declare =
        [](CLI::App& app) {
          app.add_option("--timing-seed", g_seed,
                         "vary every timing the real board does not fix within its documented range, drawn from N "
                         "(0 to 2^64-1): the crystal's accuracy (50 ppm) and start-up, MSI's accuracy (3 %), PLL "
                         "lock, interrupt entry and return, the cost of the firmware's code between register accesses "
                         "and where a pending interrupt is taken, the sensor chips' conversion times, the terminal's "
                         "and the ZigBee peer's rate and byte spacing; the same N gives the same run byte for byte; "
                         "without it every timing is nominal")
              ->type_name("N")
              ->check([](const std::string& text) {
                std::uint64_t seed = 0;
                return parseSeed(text, seed) ? std::string()
                                             : "N must be " + std::string(kSeedRange) + ", not " + text;
              });
          sim::addFileOption(
              app, "--irq-log", g_irqLog,
              "write one line per exception entry and return to FILE: virtual time, exception, and for an "
              "entry the last register access the interrupted code made");
        },
    .apply =
        [](sim::CliRun& run) {
          if (g_irqLog.empty()) return;
          std::FILE* file = run.files.openOutput("the irq log", g_irqLog);
          run.keep.push_back(std::make_shared<sim::IrqLog>(file, run.board));
        },
    .helpSection = nullptr,
    .configure =
        [](sim::BoardConfig& config) {
          std::uint64_t seed = 0;
          if (!g_seed.empty() && parseSeed(g_seed, seed)) config.timing = sim::TimingTolerances{seed};
        },
}};

}  // namespace
