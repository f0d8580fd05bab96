// Script command `set NAME VALUE`: a physical value the board's sensor chips
// see from now on (a temperature, a pressure, the light, how the board is
// held). The value is checked against its range when the script is read, so a
// mistyped name or an impossible value stops the run before it starts.
#include "../board.h"
#include "../devices/sensor_values.h"
#include "command_table.h"

namespace sim {

namespace {

class SetValueStep : public ScriptStep {
 public:
  explicit SetValueStep(SensorValueSetting setting) : setting_(std::move(setting)) {}
  StepStart begin(ScriptContext& context) override {
    try {
      context.board()->values().set(setting_);
    } catch (const SensorValueError& e) {
      context.fail(e.what());
    }
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  SensorValueSetting setting_;
};

const ScriptCommandRegistration kSetValue{{
    .keywords = "set",
    .forms = {{"NAME VALUE",
               "a physical value the sensor chips see from now on, e.g. set htu21.temperature 23.4 or set "
               "mpu9150.accel 0 0 1 (tl500-sim --help lists every NAME with unit, range and default)"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      std::string name = words.word("a sensor value name");
      std::string value;
      while (!words.atEnd()) value += (value.empty() ? "" : " ") + words.word("a value");
      try {
        return std::make_unique<SetValueStep>(parseSensorValue(name, value));
      } catch (const SensorValueError& e) {
        words.fail(e.what());
      }
    },
    .virtualBoardOnly = true,
    .monitor = true,
}};

}  // namespace

}  // namespace sim
