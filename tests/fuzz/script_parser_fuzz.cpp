// Fuzz target for the scenario-script parser: any bytes either parse or are
// refused with a ScriptError naming a line; nothing else may happen.
//
// Built by the fuzz preset (clang with libFuzzer); tools/check.sh runs it for a
// bounded time:
//   cmake --preset fuzz && cmake --build --preset fuzz
//   build/fuzz/tests/fuzz/script_parser_fuzz -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sim/script/script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    sim::Script script = sim::parseScript(text, "fuzz");
    for (const auto& line : script.lines) {
      // Whatever was accepted can be shown back safely.
      (void)sim::shownSource(line.source);
    }
  } catch (const sim::ScriptError& error) {
    (void)error.line();
  }
  return 0;
}
