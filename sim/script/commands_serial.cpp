// Script commands for the board's serial lines: what the outside world sends,
// what it waits for, what must not come out; and `print`.
#include <algorithm>

#include "../board.h"
#include "command_table.h"
#include "pattern.h"

namespace sim {

namespace {

// Bytes of another line's output shown beside a failed wait on it.
constexpr std::size_t kShownContextBytes = 200;

const ScriptSerialLineRegistration kConsoleLine{{
    .name = "console",
    .about = "USART1, the operator's terminal",
    .endpoint = [](Board& board) -> SerialEndpoint& { return board.console(); },
    .send = nullptr,
    .boardPort = "USART1",
}};

std::string serialLine(ScriptWords& words) {
  std::string name = words.word("a serial line (" + serialLineNames() + ")");
  if (findScriptSerialLine(name) == nullptr) {
    words.fail(shownWord(name) + " is not a serial line of the board (known: " + serialLineNames() + ")");
  }
  return name;
}

class SendStep : public ScriptStep {
 public:
  SendStep(std::string line, std::string text) : line_(std::move(line)), text_(std::move(text)) {}
  StepStart begin(ScriptContext& context) override {
    context.send(line_, text_);
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  std::string line_, text_;
};

// Runs until a text, or a match of a pattern, has come out after the end of
// the previous match on that line.
class WaitTextStep : public ScriptStep {
 public:
  WaitTextStep(std::string line, std::string text, std::optional<std::string> pattern, Time limit)
      : line_(std::move(line)), text_(std::move(text)), limit_(limit) {
    if (pattern) {
      pattern_ = *pattern;
      regex_.emplace(compilePattern(*pattern));
      follower_.emplace(*regex_);
    }
  }

  StepStart begin(ScriptContext& context) override {
    if (found(context, context.matchEnd(line_))) return StepStart::done();
    return StepStart::wait(limit_);
  }

  bool onByte(ScriptContext& context, std::string_view line) override {
    if (line != line_) return false;
    if (regex_) return followed(context);
    // Only a match ending in the new byte is new: look at the tail only, and
    // only when the new byte is the text's last.
    const std::string& out = context.received(line_);
    if (!text_.empty() && (out.empty() || out.back() != text_.back())) return false;
    std::size_t from = context.matchEnd(line_);
    if (out.size() > text_.size() && out.size() - text_.size() > from) from = out.size() - text_.size();
    return found(context, from);
  }

  void onLimit(ScriptContext& context) override {
    std::string what = regex_ ? "text matching /" + shownSource(pattern_) + "/" : "text " + shownText(text_);
    std::string message =
        "expected " + line_ + " " + what + " within " + formatTime(limit_) + "; not seen by " + formatTime(context.now());
    // The failure's context shows the console; on another line show what
    // the board did send there.
    const ScriptSerialLine* serial = findScriptSerialLine(line_);
    if (line_ != "console" && serial != nullptr) {
      const std::string& sent = context.received(line_);
      std::size_t tail = sent.size() > kShownContextBytes ? sent.size() - kShownContextBytes : 0;
      message += "\n  the board sent on " + std::string(serial->boardPort) + ": \"" +
                 escapeText(std::string_view(sent).substr(tail)) + "\"";
    }
    context.fail(message);
  }

 private:
  bool found(ScriptContext& context, std::size_t from) {
    const std::string& out = context.received(line_);
    std::size_t& end = context.matchEnd(line_);
    if (from > out.size()) return false;
    if (regex_) {
      follower_->restart();
      followedTo_ = std::max(end, out.size());
      if (end > out.size()) return false;
      auto match = regex_->find(std::string_view(out).substr(end));
      if (match) {
        end += match->end;
        return true;
      }
      // From here on the follower watches each new byte, so a long wait does
      // not search its whole text again at every byte.
      for (std::size_t i = end; i < out.size(); ++i) follower_->add(out[i]);
      return false;
    }
    std::size_t at = out.find(text_, from);
    if (at == std::string::npos) return false;
    end = at + text_.size();
    return true;
  }

  // Feeds the follower the bytes that came out since; searches for the match
  // itself only once the follower says there is one.
  bool followed(ScriptContext& context) {
    const std::string& out = context.received(line_);
    bool matched = false;
    for (; followedTo_ < out.size(); ++followedTo_) matched = follower_->add(out[followedTo_]);
    if (!matched) return false;
    std::size_t& end = context.matchEnd(line_);
    if (end > out.size()) return false;
    auto match = regex_->find(std::string_view(out).substr(end));
    if (!match) return false;
    end += match->end;
    return true;
  }

  std::string line_, text_, pattern_;
  std::optional<Pattern> regex_;
  std::optional<PatternFollower> follower_;
  std::size_t followedTo_ = 0;  // bytes of the line's output the follower has had
  Time limit_;
};

// A text must not come out: for a while (the line waits), or from now to the
// end of the run (the script goes on and the watch stays).
class ExpectNoTextStep : public ScriptStep {
 public:
  ExpectNoTextStep(std::string line, std::string text, std::optional<Time> span)
      : line_(std::move(line)), text_(std::move(text)), span_(span) {}

  StepStart begin(ScriptContext& context) override {
    const std::string& out = context.received(line_);
    // A text whose first bytes came out already and whose end comes now counts.
    from_ = out.size() >= text_.size() ? out.size() - text_.size() + 1 : 0;
    since_ = context.now();
    return span_ ? StepStart::wait(*span_) : StepStart::watch();
  }

  bool onByte(ScriptContext& context, std::string_view line) override {
    if (line != line_) return false;
    const std::string& out = context.received(line_);
    if (out.size() < from_ + text_.size()) return false;
    if (out.compare(out.size() - text_.size(), text_.size(), text_) != 0) return false;
    context.fail("expected no " + line_ + " text " + shownText(text_) + " " +
                 (span_ ? "for " + formatTime(*span_) : std::string("until the end of the run")) + " from " +
                 formatTime(since_) + "; it came out at " + formatTime(context.now()));
  }

  void onLimit(ScriptContext&) override {}

 private:
  std::string line_, text_;
  std::optional<Time> span_;
  std::size_t from_ = 0;
  Time since_ = 0;
};

class ExpectLostStep : public ScriptStep {
 public:
  explicit ExpectLostStep(std::string line) : line_(std::move(line)) {}
  StepStart begin(ScriptContext& context) override {
    context.expectLoss(line_);
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  std::string line_;
};

class PrintStep : public ScriptStep {
 public:
  explicit PrintStep(std::string text) : text_(std::move(text)) {}
  StepStart begin(ScriptContext& context) override {
    context.print(text_);
    return StepStart::done();
  }
  void onLimit(ScriptContext&) override {}

 private:
  std::string text_;
};

const ScriptCommandRegistration kSend{{
    .keywords = "send",
    .forms = {{"LINE TEXT", "the board receives TEXT on that serial line, back to back at line pace, from now "
                            "(lost, as on the board, while its receiver is off; bytes the board never received "
                            "fail the run at its end, unless the script said 'expect lost LINE')"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      std::string line = serialLine(words);
      return std::make_unique<SendStep>(line, words.text());
    },
}};

const ScriptCommandRegistration kWait{{
    .keywords = "wait",
    .forms = {{"LINE TEXT [within D]", "run until TEXT has come out on that line after the end of its previous match"},
              {"LINE /REGEX/ [within D]", "the same for a match of REGEX, e.g. /[A-Z][a-z]{2} [ 0-9]\\d \\d{4}/"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      std::string line = serialLine(words);
      std::string text;
      std::optional<std::string> pattern;
      if (words.nextIsPattern()) {
        pattern = words.pattern();
      } else {
        text = words.text();
        if (text.empty()) words.fail("waiting for an empty text");
      }
      Time limit = words.optionalDuration("within", kDefaultWaitLimit);
      return std::make_unique<WaitTextStep>(line, text, pattern, limit);
    },
}};

const ScriptCommandRegistration kExpectNo{{
    .keywords = "expect",
    .forms = {{"LINE no TEXT [for D]",
               "TEXT does not come out on that line for D (the script waits), or without D until the end of the run "
               "(the script goes on)"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      std::string line = serialLine(words);
      words.keyword("no");
      std::string text = words.text();
      if (text.empty()) words.fail("an empty text always comes out");
      std::optional<Time> span;
      if (!words.atEnd()) span = words.optionalDuration("for", 0);
      return std::make_unique<ExpectNoTextStep>(line, text, span);
    },
}};

const ScriptCommandRegistration kExpectLost{{
    .keywords = "expect lost",
    .forms = {{"LINE",
               "bytes sent on that line from now on may never reach the board (its receiver off, the run over "
               "first): named, but the run does not fail for them"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> {
      return std::make_unique<ExpectLostStep>(serialLine(words));
    },
    .virtualBoardOnly = true,
}};

const ScriptCommandRegistration kPrint{{
    .keywords = "print",
    .forms = {{"TEXT", "write TEXT to standard output with the virtual time"}},
    .parse = [](ScriptWords& words) -> std::unique_ptr<ScriptStep> { return std::make_unique<PrintStep>(words.text()); },
    .monitor = true,
}};

}  // namespace

}  // namespace sim
