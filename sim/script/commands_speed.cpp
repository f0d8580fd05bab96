// `speed`: the pace of a live run. A script always runs as fast as the host
// allows; there the command changes nothing.
#include "command_table.h"
#include "sim/endpoints/live_pace.h"

namespace sim {

namespace {

class SpeedStep : public ScriptStep {
 public:
  explicit SpeedStep(double factor) : factor_(factor) {}
  StepStart begin(ScriptContext&) override {
    setLiveSpeed(factor_);
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  double factor_;
};

const ScriptCommandRegistration kSpeed{{
    .keywords = "speed",
    .forms = {{"realtime|N|max",
               "pace of a live run: the wall clock, N times it (10, 0.5), or max: as fast as the host allows, at "
               "real time for a second after each key typed; a script runs at full speed whatever it says"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      std::string text = words.word("realtime, max or a factor");
      std::string error;
      std::optional<double> factor = parseSpeed(text, error);
      if (!factor) words.fail(error);
      return std::make_unique<SpeedStep>(*factor);
    },
    .monitor = true,
}};

}  // namespace

}  // namespace sim
