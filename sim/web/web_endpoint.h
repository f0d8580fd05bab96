// The board's web page as one more live endpoint of the board: on the board's
// thread it carries out what the pages asked for through the same commands as
// scripts and the monitor, and hands the server the board's state (the same
// PanelState the terminal panel shows) and the bytes of both serial lines, at
// most ~30 times a second of wall time however fast the board runs.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "sim/board.h"
#include "sim/endpoints/board_panel.h"
#include "web_server.h"

namespace sim {

class WebEndpoint {
 public:
  static constexpr std::chrono::milliseconds kPublishEvery{33};

  // Starts serving on ADDRESS:PORT; throws std::runtime_error.
  WebEndpoint(Board& board, const std::string& address, int port);
  ~WebEndpoint();
  WebEndpoint(const WebEndpoint&) = delete;
  WebEndpoint& operator=(const WebEndpoint&) = delete;

  const WebServer& server() const { return *server_; }

  // On the board's thread, between steps: take the pages' requests, publish.
  void idle();
  // The run is over: the last state goes out and the pages are told.
  void finish();

 private:
  WebServer::Answer carryOut(const WebServer::Request& request);
  std::string stateJson() const;
  void publish(bool force);

  Board& board_;
  PanelSource source_;
  std::unique_ptr<WebServer> server_;
  std::string console_, zigbee_;  // not yet published
  std::string published_;
  std::chrono::steady_clock::time_point publishedAt_{};
  Subscription consoleBytes_, zigbeeBytes_;
};

// GET /board: the sensors with names, units and ranges from the sensor value
// table, the I2C chips for faults, the switches and whether the terminal was
// built in.
std::string webBoardJson();

}  // namespace sim
