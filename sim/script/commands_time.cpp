// Script commands about time and the end of the firmware: `run`, `expect main returns`.
#include "command_table.h"

namespace sim {

namespace {

class RunStep : public ScriptStep {
 public:
  explicit RunStep(Time span) : span_(span) {}
  StepStart begin(ScriptContext&) override { return span_ == 0 ? StepStart::done() : StepStart::wait(span_); }
  void onLimit(ScriptContext&) override {}

 private:
  Time span_;
};

class ExpectMainReturnsStep : public ScriptStep {
 public:
  explicit ExpectMainReturnsStep(Time limit) : limit_(limit) {}
  StepStart begin(ScriptContext& context) override {
    return context.mainReturned() ? StepStart::done() : StepStart::wait(limit_);
  }
  bool onMainReturned(ScriptContext&) override { return true; }
  void onLimit(ScriptContext& context) override {
    context.fail("expected main to return within " + formatTime(limit_) + "; still running at " +
                 formatTime(context.now()));
  }

 private:
  Time limit_;
};

const ScriptCommandRegistration kRun{{
    .keywords = "run",
    .forms = {{"D", "let virtual time pass"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> { return std::make_unique<RunStep>(words.duration()); },
}};

const ScriptCommandRegistration kExpectMainReturns{{
    .keywords = "expect main returns",
    .forms = {{"[within D]",
               "run until the firmware's main returns; without it, lines left unrun when main returns fail the run"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      return std::make_unique<ExpectMainReturnsStep>(words.optionalDuration("within", kDefaultWaitLimit));
    },
    .virtualBoardOnly = true,
}};

}  // namespace

}  // namespace sim
