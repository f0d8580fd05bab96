// The HTTP side of the board's web page: serves the page's assets compiled
// into the program, streams the board's state and its serial lines to every
// open page as server-sent events, and queues what a page asks for (a command
// line, console keys, bytes from the ZigBee peer, pause, continue) for the
// board's thread, which answers each request.
//
// It runs on threads of its own; the board's thread talks to it only through
// publish(), takeRequests() and the answers. Every route refuses (403) a
// request whose Host is not the address served or whose Origin, when present,
// is not that address, so a page from elsewhere cannot drive the board through
// the user's browser.
//
// The server and the HTTP library under it live in a module of their own
// (tl500-sim-web.so) that the program opens only for --web: the library and
// what it pulls in (TLS, compression) would otherwise be loaded, and their
// symbols resolved, at every start of the program.
#pragma once

#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "web_assets.h"

namespace sim {

class WebServer {
 public:
  enum class Kind { Command, Console, Peer, Pause, Continue };
  struct Answer {
    bool ok = false;
    std::string text;  // "ok", or why it was refused
  };
  struct Request {
    Kind kind;
    std::string text;  // the command line or the bytes
    std::shared_ptr<std::promise<Answer>> answer;
  };

  // The longest command line, and the most bytes one request sends.
  static constexpr std::size_t kMaxLine = 200;
  static constexpr std::size_t kMaxBytes = 256;
  // What a page just opened is shown of each serial line's past.
  static constexpr std::size_t kHistory = 256 * 1024;

  // Stops serving: waiting requests and open pages end, the threads are joined.
  virtual ~WebServer() = default;

  virtual int port() const = 0;
  // "http://127.0.0.1:PORT/"
  virtual std::string url() const = 0;
  // Requests refused so far (wrong Host or Origin, malformed, unknown path).
  virtual unsigned refused() const = 0;

  // Board thread: the state as JSON and the bytes each serial line carried
  // since the last call.
  virtual void publish(std::string stateJson, const std::string& console, const std::string& zigbee) = 0;
  // Board thread: what the pages asked for since the last call.
  virtual std::vector<Request> takeRequests() = 0;
  // Board thread: the run is over; waiting requests and open pages end.
  virtual void close() = 0;

 protected:
  WebServer() = default;
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
};

// What the server is started with.
struct WebServerSetup {
  std::string address;               // ADDRESS of ADDRESS:PORT
  int port = 0;                      // 0 picks a free one
  std::string boardJson;             // what GET /board answers: the board's fixed description
  const WebAsset* assets = nullptr;  // the page's files
  std::size_t assetCount = 0;
};

// Opens the module and starts serving on ADDRESS:PORT; throws
// std::runtime_error when the module cannot be loaded or the address cannot
// be bound. The module is looked for in $TL500_SIM_WEB_MODULE when that is
// set, else next to the program, else in the build tree it was built in.
std::unique_ptr<WebServer> openWebServer(const WebServerSetup& setup);

// The module's one entry point, looked up by this name: the server, or null
// with `error` saying why (an exception does not cross the module's edge).
extern "C" WebServer* tl500_web_server_open(const WebServerSetup& setup, std::string& error);
inline constexpr const char* kWebServerOpenSymbol = "tl500_web_server_open";

// `bytes` as a JSON string literal; bytes 0x80-0xFF stand for U+0080-U+00FF.
std::string jsonString(const std::string& bytes);

}  // namespace sim
