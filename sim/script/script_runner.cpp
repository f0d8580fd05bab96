#include "script_runner.h"

#include "../core/stop.h"

namespace sim {

ScriptRunner::ScriptRunner(Board& board, Script script) : board_(board), script_(std::move(script)) {
  for (const auto& cmd : script_.commands) {
    if (cmd.kind != ScriptCommand::Kind::Wait || matchEnd_.count(cmd.port) != 0) continue;
    // Text that came out before the run started counts for the first wait.
    matchEnd_[cmd.port] = 0;
    std::string port = cmd.port;
    listening_.push_back(endpoint(port).onByte([this, port](std::uint8_t) { received(port); }));
  }
}

ScriptRunner::~ScriptRunner() { halt(); }

void ScriptRunner::start() {
  if (started_) return;
  started_ = true;
  proceed();
}

const ScriptCommand* ScriptRunner::current() const {
  if (executing_ != nullptr) return executing_;
  if (waiting_ != nullptr) return waiting_;
  if (next_ < script_.commands.size()) return &script_.commands[next_];
  return nullptr;
}

void ScriptRunner::halt() {
  halted_ = true;
  waiting_ = nullptr;
  if (event_ != 0) board_.clock().cancel(event_);
  event_ = 0;
}

void ScriptRunner::proceed() {
  event_ = 0;
  if (halted_) return;
  while (next_ < script_.commands.size()) {
    const ScriptCommand& cmd = script_.commands[next_++];
    // A line that ends the run while it is carried out (a short from `set pin`)
    // is the line the run's message names.
    executing_ = &cmd;
    bool done = execute(cmd);
    executing_ = nullptr;
    if (!done) return;
  }
  finished_ = true;
  halted_ = true;
  throw Stop(StopKind::Completed, script_.name + ": the script ran to its end");
}

bool ScriptRunner::execute(const ScriptCommand& cmd) {
  Clock& clock = board_.clock();
  switch (cmd.kind) {
    case ScriptCommand::Kind::Send:
      if (cmd.port == "zigbee") {
        // Bytes from a peer in radio range, through the module.
        board_.zigbee().fromPeer(cmd.text);
      } else {
        endpoint(cmd.port).send(cmd.text);
      }
      return true;
    case ScriptCommand::Kind::Wait: {
      const std::string& out = endpoint(cmd.port).received();
      std::size_t& from = matchEnd_[cmd.port];
      std::size_t pos = out.find(cmd.text, from);
      if (pos != std::string::npos) {
        from = pos + cmd.text.size();
        return true;
      }
      waiting_ = &cmd;
      event_ = clock.after(cmd.duration, [this, &cmd] {
        event_ = 0;
        waiting_ = nullptr;
        std::string what = "expected " + cmd.port + " text \"" + escapeText(cmd.text) + "\" within " +
                           formatTime(cmd.duration) + "; not seen by " + formatTime(board_.clock().now());
        if (cmd.port == "zigbee") {
          const std::string& sent = board_.zigbee().uart().received();
          std::size_t tail = sent.size() > kContextBytes ? sent.size() - kContextBytes : 0;
          what += "\n  the board sent on USART3: \"" + escapeText(std::string_view(sent).substr(tail)) + "\"";
        }
        fail(cmd, what);
      });
      return false;
    }
    case ScriptCommand::Kind::Run:
      if (cmd.duration == 0) return true;
      event_ = clock.after(cmd.duration, [this] { proceed(); });
      return false;
    case ScriptCommand::Kind::ExpectPin: {
      Level level = board_.pinLevel(cmd.pin);
      if (level != *cmd.level) {
        fail(cmd, "expected pin " + pinText(cmd.pin) + " " + levelName(*cmd.level) + "; it is " + levelName(level) +
                      " at " + formatTime(clock.now()));
      }
      return true;
    }
    case ScriptCommand::Kind::SetPin:
      board_.drivePin(cmd.pin, cmd.level);
      return true;
    case ScriptCommand::Kind::SetValue:
      try {
        board_.values().set(SensorValueSetting{cmd.valueName, cmd.values});
      } catch (const SensorValueError& e) {
        fail(cmd, e.what());
      }
      return true;
    case ScriptCommand::Kind::Fault:
      if (cmd.fault) {
        board_.setI2cFault(cmd.i2cAddress, *cmd.fault);
      } else {
        board_.clearI2cFaults();
      }
      return true;
  }
  return true;
}

// A byte came out on `port`: does it complete the text waited for?
void ScriptRunner::received(const std::string& port) {
  if (halted_ || waiting_ == nullptr || waiting_->port != port) return;
  const std::string& out = endpoint(port).received();
  const std::string& text = waiting_->text;
  std::size_t& from = matchEnd_[port];
  if (out.size() < from + text.size()) return;
  if (out.compare(out.size() - text.size(), text.size(), text) != 0) return;
  from = out.size();
  waiting_ = nullptr;
  board_.clock().cancel(event_);
  // Go on from an event at this same instant rather than from inside the
  // line's byte delivery, so every other listener sees this byte first.
  event_ = board_.clock().after(0, [this] { proceed(); });
}

void ScriptRunner::fail(const ScriptCommand& cmd, const std::string& what) const {
  throw Stop(StopKind::Failed,
             script_.name + ":" + std::to_string(cmd.line) + ": " + cmd.source + "\n  " + what + "\n  " + context());
}

std::string ScriptRunner::context() const {
  const std::string& out = board_.console().received();
  if (out.empty()) return "no console output yet";
  if (out.size() <= kContextBytes) return "last console output: \"" + escapeText(out) + "\"";
  return "last console output: ..\"" + escapeText(std::string_view(out).substr(out.size() - kContextBytes)) + "\"";
}

std::string ScriptRunner::unfinishedMessage(const std::string& reason) const {
  const ScriptCommand* cmd = current();
  std::string where =
      cmd != nullptr ? script_.name + ":" + std::to_string(cmd->line) + ": " + cmd->source : script_.name;
  return where + "\n  " + reason + " before the script finished\n  " + context();
}

SerialEndpoint& ScriptRunner::endpoint(const std::string& port) {
  // "zigbee": what the board sent on USART3, as the module's UART received it.
  return port == "zigbee" ? board_.zigbee().uart() : board_.console();
}

}  // namespace sim
