// Byte-exact comparison of the console output with an expected transcript.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The expected transcript with @BUILD_DATE@ and @BUILD_TIME@ replaced by the
// firmware's build date and time as its banner shows them.
std::string expandTranscript(std::string_view expected, std::string_view buildDate, std::string_view buildTime);

// nullopt when `actual` equals `expected`; otherwise where they first differ,
// with the text around that byte from both. `line` names the output compared.
std::optional<std::string> compareTranscript(std::string_view expected, std::string_view actual,
                                             std::string_view line = "the console output");

}  // namespace sim
