#include "web_endpoint.h"

#include <cstdio>

#include "sim/board_pins.h"
#include "sim/core/stop.h"
#include "sim/devices/sensor_values.h"
#include "sim/endpoints/live_pace.h"
#include "sim/script/command_table.h"
#include "sim/script/immediate_command.h"
#include "sim/script/script.h"
#include "web_assets.h"

namespace sim {

namespace {

const char* levelWord(Level level) { return level == Level::High ? "high" : "low"; }

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

bool terminalBuiltIn() {
  for (std::size_t i = 0; i < kWebAssetCount; ++i) {
    if (std::string(kWebAssets[i].path) == "/xterm.js") return true;
  }
  return false;
}

// The chips on the I2C buses, by the address a fault names.
struct Chip {
  const char* name;
  const char* address;
};
constexpr Chip kChips[] = {{"HTU21 temperature and humidity", "0x40"},
                           {"LPS25H pressure", "0x5D"},
                           {"BH17 light", "0x23"},
                           {"MPU-9150 motion", "0x68"},
                           {"MPU-9150 magnetometer", "0x0C"}};

}  // namespace

std::string webBoardJson() {
  std::string json = "{\"terminal\":";
  json += terminalBuiltIn() ? "true" : "false";
  json += ",\"sensors\":[";
  bool first = true;
  for (const SensorValueInfo& info : sensorValueInfos()) {
    if (info.kind == SensorValueInfo::Kind::Count) continue;  // the page shows physical values
    if (!first) json += ',';
    first = false;
    json += "{\"name\":" + jsonString(info.name) + ",\"unit\":" + jsonString(info.unit) +
            ",\"description\":" + jsonString(info.description) + ",\"min\":" + number(info.min) +
            ",\"max\":" + number(info.max) + ",\"onoff\":" + (info.kind == SensorValueInfo::Kind::OnOff ? "true" : "false") +
            ",\"defaults\":[";
    for (std::size_t i = 0; i < info.defaults.size(); ++i) json += (i ? "," : "") + number(info.defaults[i]);
    json += "]}";
  }
  json += "],\"chips\":[";
  for (std::size_t i = 0; i < std::size(kChips); ++i) {
    json += std::string(i ? "," : "") + "{\"name\":" + jsonString(kChips[i].name) +
            ",\"address\":" + jsonString(kChips[i].address) + "}";
  }
  json += "],\"faults\":[\"absent\",\"nack-data 1\",\"arbitration-lost 1\",\"bus-error\",\"sda-stuck\",\"stretch-forever\"]}";
  return json;
}

WebEndpoint::WebEndpoint(Board& board, const std::string& address, int port)
    : board_(board),
      source_(board),
      server_(openWebServer({.address = address,
                             .port = port,
                             .boardJson = webBoardJson(),
                             .assets = kWebAssets,
                             .assetCount = kWebAssetCount})) {
  consoleBytes_ = board_.console().onByte([this](std::uint8_t byte) { console_ += static_cast<char>(byte); });
  zigbeeBytes_ = board_.zigbee().uart().onByte([this](std::uint8_t byte) { zigbee_ += static_cast<char>(byte); });
}

WebEndpoint::~WebEndpoint() {
  livePace().idle = nullptr;
  server_->close();
}

void WebEndpoint::idle() {
  std::vector<WebServer::Request> requests = server_->takeRequests();
  for (std::size_t i = 0; i < requests.size(); ++i) {
    try {
      requests[i].answer->set_value(carryOut(requests[i]));
    } catch (const Stop& stop) {
      // A short from the page ends the run as it would from a script; the
      // requests behind it are answered, not left waiting.
      requests[i].answer->set_value({false, std::string("the run ended: ") + stop.what()});
      for (std::size_t j = i + 1; j < requests.size(); ++j) requests[j].answer->set_value({false, "the run has ended"});
      throw;
    }
  }
  publish(false);
}

void WebEndpoint::finish() {
  publish(true);
  server_->close();
}

WebServer::Answer WebEndpoint::carryOut(const WebServer::Request& request) {
  switch (request.kind) {
    case WebServer::Kind::Command:
      try {
        auto parsed = parseScriptLine(request.text, "page", 1);
        if (!parsed) return {false, "an empty command"};
        runImmediate(board_, *parsed, stdout);
        return {true, "ok"};
      } catch (const ScriptError& e) {
        return {false, e.what()};
      } catch (const ImmediateCommandError& e) {
        return {false, e.what()};
      }
    case WebServer::Kind::Console:
      liveKeyTyped();
      board_.console().send(request.text);
      return {true, "ok"};
    case WebServer::Kind::Peer: {
      const ScriptSerialLine* line = findScriptSerialLine("zigbee");
      if (line == nullptr) return {false, "no ZigBee line"};
      if (line->send != nullptr) {
        line->send(board_, request.text);
      } else {
        line->endpoint(board_).send(request.text);
      }
      return {true, "ok"};
    }
    case WebServer::Kind::Pause:
      setLivePaused(true);
      publish(true);
      return {true, "paused at " + formatTime(board_.clock().now())};
    case WebServer::Kind::Continue:
      setLivePaused(false);
      publish(true);
      return {true, "continuing at " + formatTime(board_.clock().now())};
  }
  return {false, "unknown request"};
}

std::string WebEndpoint::stateJson() const {
  PanelState state = source_.state();
  std::string json = "{\"time\":" + number(toSeconds(state.now)) + ",\"speed\":" + jsonString(state.speed) +
                     ",\"ratio\":" + number(state.ratio) + ",\"paused\":" + (livePace().paused ? "true" : "false") +
                     ",\"panel\":" + jsonString(renderPanel(state)) + ",\"leds\":[";
  for (unsigned i = 0; i < 3; ++i) json += std::string(i ? "," : "") + (state.ledLit[i] ? "true" : "false");
  json += "],\"outputs\":[";
  for (unsigned i = 0; i < 4; ++i) {
    const char* word = state.outputs[i] == OutputState::Blinking ? "blink" : state.outputs[i] == OutputState::On ? "on" : "off";
    json += std::string(i ? "," : "") + "\"" + word + "\"";
  }
  json += "],\"pins\":{";
  bool first = true;
  for (const BoardPin& pin : boardPins()) {
    if (!first) json += ',';
    first = false;
    json += "\"" + std::string(pin.name) + "\":\"" + levelWord(board_.pinLevel(pin.pin)) + "\"";
  }
  json += "}}";
  return json;
}

void WebEndpoint::publish(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && now - publishedAt_ < kPublishEvery) return;
  std::string state = stateJson();
  if (!force && state == published_ && console_.empty() && zigbee_.empty()) return;
  publishedAt_ = now;
  published_ = state;
  server_->publish(std::move(state), console_, zigbee_);
  console_.clear();
  zigbee_.clear();
}

}  // namespace sim
