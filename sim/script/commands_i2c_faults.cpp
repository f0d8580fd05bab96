// Script commands that make a chip on the board's I2C buses misbehave, and
// end every such fault: `fault i2c ADDRESS KIND`, `fault clear`.
#include "../board.h"
#include "../devices/i2c_faults.h"
#include "command_table.h"

namespace sim {

namespace {

class FaultStep : public ScriptStep {
 public:
  // nullopt: every fault ends.
  FaultStep(std::uint8_t address, std::optional<I2cFault> fault) : address_(address), fault_(fault) {}
  StepStart begin(ScriptContext& context) override {
    if (fault_) {
      context.board()->setI2cFault(address_, *fault_);
    } else {
      context.board()->clearI2cFaults();
    }
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  std::uint8_t address_;
  std::optional<I2cFault> fault_;
};

const ScriptCommandRegistration kFaultI2c{{
    .keywords = "fault i2c",
    .forms = {{"ADDRESS KIND",
               "the chip at that 7-bit address (0x40 or 64) misbehaves on either bus from now on; KIND is "
               "absent, nack-data N, arbitration-lost N, bus-error, sda-stuck or stretch-forever"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      std::string error;
      auto address = parseI2cAddress(words.word("a 7-bit I2C address such as 0x40"), error);
      if (!address) words.fail(error);
      std::string kind;
      while (!words.atEnd()) kind += (kind.empty() ? "" : " ") + words.word("a fault kind");
      auto fault = parseI2cFault(kind, error);
      if (!fault) words.fail(error);
      return std::make_unique<FaultStep>(*address, *fault);
    },
    .virtualBoardOnly = true,
    .monitor = true,
}};

const ScriptCommandRegistration kFaultClear{{
    .keywords = "fault clear",
    .forms = {{"", "every I2C fault ends"}},
    .parse = [](ScriptWords&) -> std::unique_ptr<ScriptStep> { return std::make_unique<FaultStep>(0, std::nullopt); },
    .virtualBoardOnly = true,
    .monitor = true,
}};

}  // namespace

}  // namespace sim
