#include "script_runner.h"

#include <cstdio>

#include "../core/stop.h"

namespace sim {

namespace {

constexpr char kPorts[] = {'A', 'B', 'C', 'D', 'E', 'H'};

// "0.512 s": the short form used where a whole sentence follows.
std::string shortTime(Time t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", toSeconds(t));
  return buf;
}

}  // namespace

ScriptRunner::ScriptRunner(Board& board, Script script, Options options)
    : board_(board), script_(std::move(script)), options_(options) {
  for (const auto& line : scriptSerialLines()) {
    std::string name(line.name);
    SerialEndpoint& end = line.endpoint(board_);
    // Text that came out before the run started counts for the first wait.
    matchEnd_[name] = 0;
    subscriptions_.push_back(end.onByte([this, name](std::uint8_t) { byteOn(name); }));
    subscriptions_.push_back(end.onLost([this, name](std::uint8_t, Time sentAt, const std::string& reason) {
      if (!lost_.empty() && lost_.back().line == name && lost_.back().sentAt == sentAt && lost_.back().reason == reason) {
        ++lost_.back().bytes;
      } else {
        lost_.push_back({name, sentAt, 1, reason});
      }
    }));
  }
}

void ScriptRunner::hearPins() {
  if (hearingPins_) return;
  hearingPins_ = true;
  for (char port : kPorts) {
    for (unsigned pin = 0; pin < 16; ++pin) {
      PinName name{port, pin};
      subscriptions_.push_back(board_.net(name).onChange([this, name](Level level) { pinChanged(name, level); }));
    }
  }
}

ScriptRunner::~ScriptRunner() { halt(); }

void ScriptRunner::start() {
  if (started_) return;
  started_ = true;
  proceed();
}

const ScriptLine* ScriptRunner::current() const {
  if (executing_ != nullptr) return executing_;
  if (waiting_ != nullptr) return waiting_;
  if (next_ < script_.lines.size()) return &script_.lines[next_];
  return nullptr;
}

void ScriptRunner::halt() {
  halted_ = true;
  waiting_ = nullptr;
  watches_.clear();
  if (event_ != 0) board_.clock().cancel(event_);
  event_ = 0;
}

void ScriptRunner::proceed() {
  event_ = 0;
  if (halted_) return;
  while (next_ < script_.lines.size()) {
    ScriptLine& line = script_.lines[next_++];
    active_ = &line;
    if (options_.verbose) {
      std::fprintf(options_.trace, "%s  %s:%d: %s\n", formatTime(now()).c_str(), script_.name.c_str(), line.line,
                   shownSource(line.source).c_str());
      std::fflush(options_.trace);
    }
    // A line that ends the run while it is carried out (a short from `set
    // pin`) is the line the run's message names.
    executing_ = &line;
    if (line.step->reactsToPins()) hearPins();
    StepStart start = line.step->begin(*this);
    executing_ = nullptr;
    if (start.kind == StepStart::Kind::Watch) watches_.push_back(&line);
    if (start.kind != StepStart::Kind::Wait) continue;
    waiting_ = &line;
    event_ = board_.clock().after(start.limit, [this] {
      event_ = 0;
      ScriptLine* over = waiting_;
      active_ = over;
      over->step->onLimit(*this);  // throws when running out of time is a failure
      waitOver();
    });
    return;
  }
  finished_ = true;
  halted_ = true;
  throw Stop(StopKind::Completed, script_.name + ": the script ran to its end");
}

// The line waiting is done: go on from an event at this same instant rather
// than from inside the event that ended the wait, so every other listener of
// that byte or pin sees it first.
void ScriptRunner::waitOver() {
  waiting_ = nullptr;
  if (event_ != 0) board_.clock().cancel(event_);
  event_ = board_.clock().after(0, [this] { proceed(); });
}

void ScriptRunner::byteOn(std::string_view line) {
  if (halted_) return;
  for (ScriptLine* watch : watches_) {
    active_ = watch;
    watch->step->onByte(*this, line);
  }
  if (waiting_ != nullptr) {
    active_ = waiting_;
    if (waiting_->step->onByte(*this, line)) waitOver();
  }
}

void ScriptRunner::pinChanged(PinName pin, Level level) {
  if (halted_) return;
  for (ScriptLine* watch : watches_) {
    active_ = watch;
    watch->step->onPin(*this, pin, level);
  }
  if (waiting_ != nullptr) {
    active_ = waiting_;
    if (waiting_->step->onPin(*this, pin, level)) waitOver();
  }
}

void ScriptRunner::mainReturned() {
  if (mainReturnedAt_) return;
  mainReturnedAt_ = board_.clock().now();
  if (halted_ || waiting_ == nullptr) return;
  active_ = waiting_;
  if (waiting_->step->onMainReturned(*this)) waitOver();
}

std::optional<std::string> ScriptRunner::unrunAfterReturn() const {
  if (finished_ || !mainReturnedAt_) return std::nullopt;
  const ScriptLine* first = current();
  if (first == nullptr) return std::nullopt;
  int from = first->line;
  int to = script_.lines.back().line;
  std::string lines = from == to ? "line " + std::to_string(from) : "lines " + std::to_string(from) + "-" + std::to_string(to);
  std::string message = script_.name + ":" + std::to_string(from) + ": " + shownSource(first->source) +
                        "\n  main returned at " + shortTime(*mainReturnedAt_) + "; " + lines +
                        " not run (a script that ends with main says 'expect main returns')";
  message += lostSends();
  return message + "\n  " + context();
}

Time ScriptRunner::now() const { return board_.clock().now(); }

void ScriptRunner::send(std::string_view line, std::string_view bytes) {
  const ScriptSerialLine* serial = findScriptSerialLine(line);
  if (serial != nullptr && serial->send != nullptr) {
    serial->send(board_, bytes);
  } else {
    endpoint(line).send(bytes);
  }
}

const std::string& ScriptRunner::received(std::string_view line) const { return endpoint(line).received(); }

std::size_t& ScriptRunner::matchEnd(std::string_view line) {
  auto it = matchEnd_.find(line);
  if (it == matchEnd_.end()) it = matchEnd_.emplace(std::string(line), 0).first;
  return it->second;
}

void ScriptRunner::print(const std::string& text) {
  // The text goes out as it is, NUL bytes included.
  std::string line = formatTime(now()) + "  " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), options_.out);
  std::fflush(options_.out);
}

void ScriptRunner::endWithFailure(const std::string& what) {
  const ScriptLine* line = active_ != nullptr ? active_ : current();
  std::string where = line != nullptr
                          ? script_.name + ":" + std::to_string(line->line) + ": " + shownSource(line->source)
                          : script_.name;
  halt();
  throw Stop(StopKind::Failed, where + "\n  " + what + lostSends() + "\n  " + context());
}

std::string ScriptRunner::lostSends() const {
  std::string out;
  for (const auto& lost : lost_) {
    out += "\n  " + std::to_string(lost.bytes) + (lost.bytes == 1 ? " byte" : " bytes") + " sent at " + shortTime(lost.sentAt) + (lost.bytes == 1 ? " was" : " were") + " lost: " + lost.reason;
  }
  return out;
}

std::string ScriptRunner::context() const {
  const std::string& out = board_.console().received();
  if (out.empty()) return "no console output yet";
  if (out.size() <= kContextBytes) return "last console output: \"" + escapeText(out) + "\"";
  return "last console output: ..\"" + escapeText(std::string_view(out).substr(out.size() - kContextBytes)) + "\"";
}

std::string ScriptRunner::unfinishedMessage(const std::string& reason) const {
  const ScriptLine* line = current();
  std::string where = line != nullptr
                          ? script_.name + ":" + std::to_string(line->line) + ": " + shownSource(line->source)
                          : script_.name;
  return where + "\n  " + reason + " before the script finished" + lostSends() + "\n  " + context();
}

SerialEndpoint& ScriptRunner::endpoint(std::string_view line) const {
  const ScriptSerialLine* serial = findScriptSerialLine(line);
  if (serial == nullptr) throw std::logic_error("no serial line " + std::string(line));
  return serial->endpoint(board_);
}

}  // namespace sim
