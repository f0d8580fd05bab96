#include "immediate_command.h"

namespace sim {

namespace {

class ImmediateContext : public ScriptContext {
 public:
  ImmediateContext(Board& board, std::FILE* out) : board_(board), out_(out) {}
  Time now() const override { return board_.clock().now(); }
  void send(std::string_view line, std::string_view bytes) override {
    const ScriptSerialLine* serial = findScriptSerialLine(line);
    if (serial != nullptr && serial->send != nullptr) {
      serial->send(board_, bytes);
    } else {
      endpoint(line).send(bytes);
    }
  }
  const std::string& received(std::string_view line) const override { return endpoint(line).received(); }
  std::size_t& matchEnd(std::string_view) override { return matchEnd_; }
  void print(const std::string& text) override {
    std::string line = formatTime(now()) + "  " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
  }
  bool mainReturned() const override { return false; }
  Board* board() override { return &board_; }
  void endWithFailure(const std::string& what) override { throw ImmediateCommandError(what); }

 private:
  SerialEndpoint& endpoint(std::string_view line) const {
    const ScriptSerialLine* serial = findScriptSerialLine(line);
    if (serial == nullptr) throw ImmediateCommandError("no serial line " + std::string(line));
    return serial->endpoint(board_);
  }

  Board& board_;
  std::FILE* out_;
  std::size_t matchEnd_ = 0;
};

}  // namespace

void runImmediate(Board& board, ScriptLine& line, std::FILE* out) {
  if (!line.entry->monitor) {
    throw ImmediateCommandError("'" + std::string(line.entry->keywords) + "' waits or watches; it can only run in a script");
  }
  ImmediateContext context(board, out);
  StepStart start = line.step->begin(context);
  if (start.kind != StepStart::Kind::Done) throw ImmediateCommandError("this command cannot wait here");
}

}  // namespace sim
