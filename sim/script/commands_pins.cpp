// Script commands for the board's pins: their level now, waiting for a level
// or a change, counting toggles, a pin that must hold still, and what the
// outside world drives on an input.
#include "../board.h"
#include "command_table.h"

namespace sim {

namespace {

bool samePin(PinName a, PinName b) { return a.port == b.port && a.pin == b.pin; }

Level levelWord(ScriptWords& words) {
  std::string w = words.word("high or low");
  if (w == "high") return Level::High;
  if (w == "low") return Level::Low;
  words.fail("expected high or low, got " + shownWord(w));
}

class ExpectLevelStep : public ScriptStep {
 public:
  ExpectLevelStep(PinName pin, Level level) : pin_(pin), level_(level) {}
  StepStart begin(ScriptContext& context) override {
    Level level = context.board()->pinLevel(pin_);
    if (level != level_) {
      context.fail("expected pin " + pinLabel(pin_) + " " + levelName(level_) + "; it is " + levelName(level) + " at " +
                   formatTime(context.now()));
    }
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  PinName pin_;
  Level level_;
};

// Runs until the pin is at a level (at once if it is), or until it changes.
class WaitPinStep : public ScriptStep {
 public:
  WaitPinStep(PinName pin, std::optional<Level> level, Time limit) : pin_(pin), level_(level), limit_(limit) {}
  StepStart begin(ScriptContext& context) override {
    if (level_ && context.board()->pinLevel(pin_) == *level_) return StepStart::done();
    return StepStart::wait(limit_);
  }
  std::optional<PinName> watchedPin() const override { return pin_; }
  bool onPin(ScriptContext&, PinName pin, Level level) override {
    return samePin(pin, pin_) && (!level_ || level == *level_);
  }
  void onLimit(ScriptContext& context) override {
    Level now = context.board()->pinLevel(pin_);
    if (level_) {
      context.fail("expected pin " + pinLabel(pin_) + " " + levelName(*level_) + " within " + formatTime(limit_) +
                   "; still " + levelName(now) + " at " + formatTime(context.now()));
    }
    context.fail("expected pin " + pinLabel(pin_) + " to change within " + formatTime(limit_) + "; it stayed " +
                 levelName(now) + " until " + formatTime(context.now()));
  }

 private:
  PinName pin_;
  std::optional<Level> level_;
  Time limit_;
};

class TogglesStep : public ScriptStep {
 public:
  TogglesStep(PinName pin, std::uint64_t count, Time limit) : pin_(pin), count_(count), limit_(limit) {}
  StepStart begin(ScriptContext&) override {
    seen_ = 0;
    return count_ == 0 ? StepStart::done() : StepStart::wait(limit_);
  }
  std::optional<PinName> watchedPin() const override { return pin_; }
  bool onPin(ScriptContext&, PinName pin, Level) override { return samePin(pin, pin_) && ++seen_ >= count_; }
  void onLimit(ScriptContext& context) override {
    context.fail("expected pin " + pinLabel(pin_) + " to toggle at least " + std::to_string(count_) + " times within " +
                 formatTime(limit_) + "; it changed " + std::to_string(seen_) + " times by " + formatTime(context.now()));
  }

 private:
  PinName pin_;
  std::uint64_t count_;
  Time limit_;
  std::uint64_t seen_ = 0;
};

class SteadyStep : public ScriptStep {
 public:
  SteadyStep(PinName pin, std::optional<Time> span) : pin_(pin), span_(span) {}
  StepStart begin(ScriptContext& context) override {
    level_ = context.board()->pinLevel(pin_);
    since_ = context.now();
    return span_ ? StepStart::wait(*span_) : StepStart::watch();
  }
  std::optional<PinName> watchedPin() const override { return pin_; }
  bool onPin(ScriptContext& context, PinName pin, Level level) override {
    if (!samePin(pin, pin_)) return false;
    context.fail("expected pin " + pinLabel(pin_) + " steady " + levelName(level_) + " " +
                 (span_ ? "for " + formatTime(*span_) : std::string("until the end of the run")) + " from " +
                 formatTime(since_) + "; it went " + levelName(level) + " at " + formatTime(context.now()));
  }
  void onLimit(ScriptContext&) override {}

 private:
  PinName pin_;
  std::optional<Time> span_;
  Level level_ = Level::Low;
  Time since_ = 0;
};

class SetPinStep : public ScriptStep {
 public:
  SetPinStep(PinName pin, std::optional<Level> level) : pin_(pin), level_(level) {}
  StepStart begin(ScriptContext& context) override {
    context.board()->drivePin(pin_, level_);
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  PinName pin_;
  std::optional<Level> level_;
};

std::unique_ptr<ScriptStep> parseExpectPin(ScriptWords& words) {
  PinName pin = words.pin();
  std::string w = words.word("high, low, toggles or steady");
  if (w == "high" || w == "low") return std::make_unique<ExpectLevelStep>(pin, w == "high" ? Level::High : Level::Low);
  if (w == "toggles") {
    std::string n = words.word("a number of level changes");
    std::uint64_t count = 0;
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) {
      words.fail(shownWord(n) + " is not a number of level changes (0 to 999999999)");
    }
    count = std::stoull(n);
    return std::make_unique<TogglesStep>(pin, count, words.optionalDuration("within", kDefaultWaitLimit));
  }
  if (w == "steady") {
    std::optional<Time> span;
    if (!words.atEnd()) span = words.optionalDuration("for", 0);
    return std::make_unique<SteadyStep>(pin, span);
  }
  words.fail("expected high, low, toggles or steady, got " + shownWord(w));
}

const ScriptCommandRegistration kExpectPin{{
    .keywords = "expect pin",
    .forms = {{"PIN high|low", "the level of the pin now"},
              {"PIN toggles N [within D]", "run until the pin has changed level at least N times, failing after D"},
              {"PIN steady [for D]",
               "the pin keeps its level for D (the script waits), or without D until the end of the run (the script "
               "goes on)"}},
    .parse = parseExpectPin,
    .virtualBoardOnly = true,
}};

const ScriptCommandRegistration kWaitPin{{
    .keywords = "wait pin",
    .forms = {{"PIN high|low [within D]", "run until the pin is at that level (at once if it is)"},
              {"PIN change [within D]", "run until the pin changes level"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      PinName pin = words.pin();
      std::optional<Level> level;
      if (!words.optionalKeyword("change")) level = levelWord(words);
      return std::make_unique<WaitPinStep>(pin, level, words.optionalDuration("within", kDefaultWaitLimit));
    },
    .virtualBoardOnly = true,
}};

const ScriptCommandRegistration kSetPin{{
    .keywords = "set pin",
    .forms = {{"PIN high|low|float",
               "what the outside world drives on a pin (inputs, DIP switches); float lets go of it"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      PinName pin = words.pin();
      std::string w = words.word("high, low or float");
      if (w == "float") return std::make_unique<SetPinStep>(pin, std::nullopt);
      if (w != "high" && w != "low") words.fail("expected high, low or float, got " + shownWord(w));
      return std::make_unique<SetPinStep>(pin, w == "high" ? Level::High : Level::Low);
    },
    .virtualBoardOnly = true,
    .monitor = true,
}};

}  // namespace

}  // namespace sim
