// Warnings of the virtual board come once per subject, with their text.
#include "sim/core/warnings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Warnings, EachSubjectIsWarnedAboutOnceWhateverTheText) {
  std::vector<std::string> lines;
  sim::forgetWarnings();
  sim::setWarningSink([&](const std::string& line) { lines.push_back(line); });
  sim::warnOnce("I2C1 fast mode", "I2C1: fast mode with PCLK1 2097152 Hz (CR2 FREQ 2)");
  sim::warnOnce("I2C1 fast mode", "I2C1: fast mode with PCLK1 2097152 Hz (CR2 FREQ 2)");
  sim::warnOnce("I2C2 fast mode", "I2C2: fast mode with PCLK1 2097152 Hz (CR2 FREQ 2)");
  sim::setWarningSink({});
  sim::forgetWarnings();
  EXPECT_EQ(lines,
            (std::vector<std::string>{"tl500-sim: warning: I2C1: fast mode with PCLK1 2097152 Hz (CR2 FREQ 2)",
                                      "tl500-sim: warning: I2C2: fast mode with PCLK1 2097152 Hz (CR2 FREQ 2)"}));
}

}  // namespace
