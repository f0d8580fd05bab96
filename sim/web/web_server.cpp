// The web server on the HTTP library: built as the module tl500-sim opens for
// --web, whose one entry point is tl500_web_server_open at the end.
#include "web_server.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace sim {

namespace {

// How long a request waits for the board's thread to take and answer it.
constexpr auto kAnswerWait = std::chrono::seconds(5);
// An open page hears at least this often, so a closed one is noticed.
constexpr auto kKeepAlive = std::chrono::seconds(1);

const char* contentType(const std::string& path) {
  auto endsWith = [&](const char* tail) {
    std::size_t n = std::strlen(tail);
    return path.size() >= n && path.compare(path.size() - n, n, tail) == 0;
  };
  if (endsWith(".html")) return "text/html; charset=utf-8";
  if (endsWith(".js")) return "text/javascript; charset=utf-8";
  if (endsWith(".css")) return "text/css; charset=utf-8";
  if (endsWith(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

bool printable(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
  }
  return true;
}

class HttpWebServer final : public WebServer {
 public:
  // Binds ADDRESS:PORT (port 0 picks a free one) and starts serving; throws
  // std::runtime_error when the address cannot be bound.
  explicit HttpWebServer(const WebServerSetup& setup);
  ~HttpWebServer() override;

  int port() const override { return port_; }
  std::string url() const override;
  unsigned refused() const override;
  void publish(std::string stateJson, const std::string& console, const std::string& zigbee) override;
  std::vector<Request> takeRequests() override;
  void close() override;

 private:
  struct History {
    std::string bytes;
    std::uint64_t base = 0;  // absolute offset of bytes[0]
    void append(const std::string& more);
  };
  const WebAsset* findAsset(const std::string& path) const;
  bool allowed(const std::string& host, const std::string& origin) const;
  void routes();
  Answer ask(Kind kind, std::string text);

  std::string address_;
  std::string hostPort_;
  int port_ = 0;
  std::string boardJson_;
  const WebAsset* assets_;
  std::size_t assetCount_;
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

}  // namespace

void HttpWebServer::History::append(const std::string& more) {
  bytes += more;
  if (bytes.size() > kHistory) {
    std::size_t drop = bytes.size() - kHistory;
    bytes.erase(0, drop);
    base += drop;
  }
}

HttpWebServer::HttpWebServer(const WebServerSetup& setup)
    : address_(setup.address),
      boardJson_(setup.boardJson),
      assets_(setup.assets),
      assetCount_(setup.assetCount),
      server_(std::make_unique<httplib::Server>()) {
  server_->set_payload_max_length(4096);
  routes();
  if (setup.port == 0) {
    port_ = server_->bind_to_any_port(setup.address);
    if (port_ < 0) throw std::runtime_error("--web: cannot listen on " + setup.address);
  } else {
    if (!server_->bind_to_port(setup.address, setup.port)) {
      throw std::runtime_error("--web: cannot listen on " + setup.address + ":" + std::to_string(setup.port) +
                               " (in use, or not an address of this host)");
    }
    port_ = setup.port;
  }
  hostPort_ = (setup.address.find(':') != std::string::npos ? "[" + setup.address + "]" : setup.address) + ":" +
              std::to_string(port_);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

HttpWebServer::~HttpWebServer() {
  close();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string HttpWebServer::url() const { return "http://" + hostPort_ + "/"; }

unsigned HttpWebServer::refused() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refused_;
}

bool HttpWebServer::allowed(const std::string& host, const std::string& origin) const {
  if (host != hostPort_) return false;
  return origin.empty() || origin == "http://" + hostPort_;
}

void HttpWebServer::routes() {
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (allowed(req.get_header_value("Host"), req.get_header_value("Origin"))) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++refused_;
    }
    res.status = 403;
    res.set_content("refused: this board is served as " + url() + " only\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });

  server_->Get("/board", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(boardJson_, "application/json");
  });

  server_->Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    struct Cursor {
      bool first = true;
      std::uint64_t version = 0, console = 0, zigbee = 0;
    };
    auto cursor = std::make_shared<Cursor>();
    res.set_chunked_content_provider("text/event-stream", [this, cursor](std::size_t, httplib::DataSink& sink) {
      std::string out;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cursor->first) {
          changed_.wait_for(lock, kKeepAlive, [&] { return closed_ || version_ != cursor->version; });
        }
        cursor->first = false;
        if (closed_) {
          out = "event: end\ndata: {}\n\n";
        } else if (version_ == cursor->version) {
          out = ": still here\n\n";
        } else {
          cursor->version = version_;
          auto take = [&](const History& history, std::uint64_t& offset, const char* name) {
            if (offset < history.base) offset = history.base;
            std::uint64_t end = history.base + history.bytes.size();
            if (offset >= end) return;
            out += std::string("event: ") + name + "\ndata: " +
                   jsonString(history.bytes.substr(static_cast<std::size_t>(offset - history.base))) + "\n\n";
            offset = end;
          };
          take(console_, cursor->console, "console");
          take(zigbee_, cursor->zigbee, "zigbee");
          if (!state_.empty()) out += "event: state\ndata: " + state_ + "\n\n";
        }
      }
      if (!out.empty() && !sink.write(out.data(), out.size())) return false;  // the page has gone
      if (out.rfind("event: end", 0) == 0) {
        sink.done();
      }
      return true;
    });
  });

  auto post = [this](const char* path, Kind kind, bool line) {
    server_->Post(path, [this, kind, line](const httplib::Request& req, httplib::Response& res) {
      const std::string& body = req.body;
      bool malformed = line ? body.empty() || body.size() > kMaxLine || !printable(body)
                            : (kind == Kind::Console || kind == Kind::Peer) && (body.empty() || body.size() > kMaxBytes);
      if (malformed) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++refused_;
        }
        res.status = 400;
        res.set_content(line ? "refused: a command is one line of 1 to 200 printable characters\n"
                             : "refused: send 1 to 256 bytes\n",
                        "text/plain");
        return;
      }
      Answer answer = ask(kind, body);
      res.status = answer.ok ? 200 : 422;
      res.set_content(answer.text + "\n", "text/plain");
    });
  };
  post("/command", Kind::Command, true);
  post("/console", Kind::Console, false);
  post("/peer", Kind::Peer, false);
  post("/pause", Kind::Pause, false);
  post("/continue", Kind::Continue, false);

  // Everything else read is one of the embedded files, or nothing.
  server_->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    const WebAsset* asset = findAsset(req.path);
    if (asset == nullptr) {
      res.status = 404;
      res.set_content("no such page\n", "text/plain");
      return;
    }
    res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, contentType(asset->path));
  });
}

const WebAsset* HttpWebServer::findAsset(const std::string& path) const {
  std::string wanted = path == "/" ? "/index.html" : path;
  for (std::size_t i = 0; i < assetCount_; ++i) {
    if (wanted == assets_[i].path) return &assets_[i];
  }
  return nullptr;
}

WebServer::Answer HttpWebServer::ask(Kind kind, std::string text) {
  auto promise = std::make_shared<std::promise<Answer>>();
  std::future<Answer> future = promise->get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return {false, "the run has ended"};
    requests_.push_back(Request{kind, std::move(text), promise});
  }
  if (future.wait_for(kAnswerWait) != std::future_status::ready) return {false, "the board did not answer in time"};
  return future.get();
}

void HttpWebServer::publish(std::string stateJson, const std::string& console, const std::string& zigbee) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = std::move(stateJson);
    console_.append(console);
    zigbee_.append(zigbee);
    ++version_;
  }
  changed_.notify_all();
}

std::vector<WebServer::Request> HttpWebServer::takeRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Request> taken;
  taken.swap(requests_);
  return taken;
}

void HttpWebServer::close() {
  std::vector<Request> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    waiting.swap(requests_);
  }
  for (Request& request : waiting) request.answer->set_value({false, "the run has ended"});
  changed_.notify_all();
}

extern "C" WebServer* tl500_web_server_open(const WebServerSetup& setup, std::string& error) {
  try {
    return new HttpWebServer(setup);
  } catch (const std::exception& e) {
    error = e.what();
  }
  return nullptr;
}

}  // namespace sim
