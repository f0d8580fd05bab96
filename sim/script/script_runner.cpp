#include "script_runner.h"

#include <algorithm>
#include <cstdio>

#include "../core/stop.h"

namespace sim {

namespace {

// The last instant the board's clock can reach.
constexpr Time kClockEnd = ~Time{0};

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
    lines_.push_back({name, &end, &matchEnd_[name]});
    subscriptions_.push_back(end.onByte([this, name](std::uint8_t) { byteOn(name); }));
    auto lost = [this, name](std::uint8_t, Time sentAt, const std::string& reason) { recordLost(name, sentAt, reason); };
    subscriptions_.push_back(end.onLost(lost));
    if (line.onDropped != nullptr) subscriptions_.push_back(line.onDropped(board_, lost));
  }
}

void ScriptRunner::recordLost(const std::string& line, Time sentAt, const std::string& reason) {
  auto from = lossExpectedFrom_.find(line);
  bool expected = from != lossExpectedFrom_.end() && sentAt >= from->second;
  // Bytes of one line lost one after another for the same reason are one report.
  auto last = std::find_if(lost_.rbegin(), lost_.rend(), [&](const LostSend& l) { return l.line == line; });
  if (last != lost_.rend() && last->reason == reason && last->expected == expected) {
    ++last->bytes;
    last->lastSentAt = sentAt;
  } else {
    lost_.push_back({line, sentAt, sentAt, 1, reason, expected});
  }
}

void ScriptRunner::expectLoss(std::string_view line) {
  auto it = lossExpectedFrom_.find(line);
  if (it == lossExpectedFrom_.end()) lossExpectedFrom_.emplace(std::string(line), now());
}

std::optional<std::string> ScriptRunner::unexpectedLosses() {
  if (failed_) return std::nullopt;
  failed_ = true;  // said once
  // What is still on its way will never arrive: the run is over.
  for (const auto& serial : scriptSerialLines()) {
    std::string name(serial.name);
    std::vector<Time> times =
        serial.undelivered != nullptr ? serial.undelivered(board_) : serial.endpoint(board_).undelivered();
    std::string reason = "the run ended before they reached " + std::string(serial.boardPort);
    for (Time sentAt : times) recordLost(name, sentAt, reason);
  }
  bool unexpected = std::any_of(lost_.begin(), lost_.end(), [](const LostSend& l) { return !l.expected; });
  if (!unexpected) return std::nullopt;
  std::string example = "console";
  for (const LostSend& l : lost_) {
    if (!l.expected) {
      example = l.line;
      break;
    }
  }
  return script_.name + ": the board did not receive everything the script sent (a script that means it to be " +
         "lost says 'expect lost " + example + "' before the send)" + lostSends() + "\n  " + context();
}

// A pin nobody waits for is not listened to: a listener of every edge on a
// serial line's pin would make its frames go edge by edge.
void ScriptRunner::updatePinWatches() {
  std::vector<PinName> wanted;
  auto want = [&](const ScriptLine* line) {
    if (line == nullptr) return;
    if (auto pin = line->step->watchedPin()) wanted.push_back(*pin);
  };
  for (const ScriptLine* watch : watches_) want(watch);
  want(waiting_);
  std::erase_if(pinWatches_, [&](const auto& entry) {
    return std::find(wanted.begin(), wanted.end(), entry.first) == wanted.end();
  });
  for (PinName pin : wanted) {
    bool listened = std::any_of(pinWatches_.begin(), pinWatches_.end(), [&](const auto& e) { return e.first == pin; });
    if (listened) continue;
    pinWatches_.emplace_back(pin, board_.net(pin).onChange([this, pin](Level level) { pinChanged(pin, level); }));
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
  pinWatches_.clear();
  if (event_ != 0) board_.clock().cancel(event_);
  event_ = 0;
}

void ScriptRunner::proceed() {
  event_ = 0;
  if (halted_) return;
  // The pins of a wait that is over are let go here, outside their listeners.
  updatePinWatches();
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
    StepStart start = line.step->begin(*this);
    executing_ = nullptr;
    if (start.kind == StepStart::Kind::Watch) {
      watches_.push_back(&line);
      updatePinWatches();
    }
    if (start.kind != StepStart::Kind::Wait) continue;
    waiting_ = &line;
    // The board's clock counts 64 bits of quanta (about 67 days): a wait that
    // would end past that cannot be kept, and would otherwise end at once.
    if (start.limit > kClockEnd - now()) {
      endWithFailure(formatTime(start.limit) + " from " + formatTime(now()) + " is past the end of the board's clock at " +
                     formatTime(kClockEnd) + " (about 67 days)");
    }
    updatePinWatches();
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
  for (const LineState& known : lines_) {
    if (known.name == line) return *known.matchEnd;
  }
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
  failed_ = true;
  throw Stop(StopKind::Failed, where + "\n  " + what + lostSends() + "\n  " + context());
}

std::string ScriptRunner::lostSends() const {
  std::string out;
  for (const auto& lost : lost_) {
    std::string first = shortTime(lost.sentAt), last = shortTime(lost.lastSentAt);
    out += "\n  " + std::to_string(lost.bytes) + (lost.bytes == 1 ? " byte" : " bytes") +
           (first == last ? " sent at " + first : " sent from " + first + " to " + last) +
           (lost.bytes == 1 ? " was" : " were") + " lost: " + lost.reason + (lost.expected ? " (expected)" : "");
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
  for (const LineState& known : lines_) {
    if (known.name == line) return *known.endpoint;
  }
  const ScriptSerialLine* serial = findScriptSerialLine(line);
  if (serial == nullptr) throw std::logic_error("no serial line " + std::string(line));
  return serial->endpoint(board_);
}

}  // namespace sim
