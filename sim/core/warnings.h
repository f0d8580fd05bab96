// Warnings of the virtual board: the firmware programmed something the chip
// accepts but its documentation does not cover (a peripheral set up outside
// its documented range, say). The run goes on with the timing the registers
// give; each warning appears once on standard error, with the values, however
// often the firmware repeats the set-up.
#pragma once

#include <functional>
#include <string>

namespace sim {

// Prints "tl500-sim: warning: TEXT" the first time `key` is warned about.
void warnOnce(const std::string& key, const std::string& text);

// Tests: where warnings go instead of standard error (empty: back to standard
// error), and forgetting which keys were warned about.
void setWarningSink(std::function<void(const std::string&)> sink);
void forgetWarnings();

}  // namespace sim
