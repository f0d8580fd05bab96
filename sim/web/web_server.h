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
#pragma once

#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

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

  // Binds ADDRESS:PORT (port 0 picks a free one) and starts serving; throws
  // std::runtime_error when the address cannot be bound. `boardJson` is what
  // GET /board answers: the board's fixed description for the page.
  WebServer(const std::string& address, int port, std::string boardJson);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT/"
  std::string url() const;
  // Requests refused so far (wrong Host or Origin, malformed, unknown path).
  unsigned refused() const;

  // Board thread: the state as JSON and the bytes each serial line carried
  // since the last call.
  void publish(std::string stateJson, const std::string& console, const std::string& zigbee);
  // Board thread: what the pages asked for since the last call.
  std::vector<Request> takeRequests();
  // Board thread: the run is over; waiting requests and open pages end.
  void close();

 private:
  struct History {
    std::string bytes;
    std::uint64_t base = 0;  // absolute offset of bytes[0]
    void append(const std::string& more);
  };
  bool allowed(const std::string& host, const std::string& origin) const;
  void routes();
  Answer ask(Kind kind, std::string text);

  std::string address_;
  std::string hostPort_;
  int port_ = 0;
  std::string boardJson_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  std::uint64_t version_ = 0;
  std::string state_;
  History console_, zigbee_;
  std::vector<Request> requests_;
  unsigned refused_ = 0;
};

// `bytes` as a JSON string literal; bytes 0x80-0xFF stand for U+0080-U+00FF.
std::string jsonString(const std::string& bytes);

}  // namespace sim
