// --zigbee MODE: who is at the far side of the ZigBee module's radio link;
// --zigbee-log FILE: every byte the board sent on USART3;
// --zigbee-peer-wait DURATION: how long a linked board may stay silent;
// --zigbee-notice TEXT: a module that announces itself after each reset.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "cli_extensions.h"
#include "sim/endpoints/console_log.h"
#include "sim/endpoints/zigbee_link.h"
#include "sim/script/script.h"

namespace {

std::string g_mode;
std::string g_log;
std::string g_peerWait;
std::string g_notice;

constexpr std::size_t kMaxNoticeBytes = 256;

// The notice's bytes from TEXT, in the notation of a script's texts;
// nullopt (and `error`) for a bad escape, an empty or an overlong notice.
std::optional<std::string> noticeBytes(std::string_view text, std::string& error) {
  std::string out;
  if (!sim::unescapeText(text, out, error)) return std::nullopt;
  if (out.empty()) {
    error = "an empty notice: leave the option out for a silent module";
    return std::nullopt;
  }
  if (out.size() > kMaxNoticeBytes) {
    error = "a notice holds at most " + std::to_string(kMaxNoticeBytes) + " bytes";
    return std::nullopt;
  }
  return out;
}

constexpr const char kModeHelp[] =
    "the ZigBee module's peer in radio range (default none): none (bytes the board sends are lost), loopback "
    "(every byte comes straight back), tcp-listen:PORT (another tl500-sim connects here, 127.0.0.1; 0 picks a "
    "free port, printed as \"zigbee: listening on 127.0.0.1:N\"), tcp:HOST:PORT (link to a tl500-sim listening "
    "there), pty (a pseudo-terminal plays the peer; its path is printed as \"zigbee: /dev/pts/N\"). Linked "
    "boards keep their virtual clocks in step, each at most one frame time ahead of the other, so a scripted "
    "two-board run is as repeatable as a one-board run; when one run ends the other is told and goes on alone";

const sim::CliOptionRegistration kZigbeeOptions{{
    .declare =
        [](CLI::App& app) {
          app.add_option("--zigbee", g_mode, kModeHelp)
              ->type_name("MODE")
              ->check([](const std::string& mode) {
                std::string error;
                return sim::parseZigBeeMode(mode, error) ? std::string() : error;
              });
          app.add_option("--zigbee-peer-wait", g_peerWait,
                         "with --zigbee tcp...: how long (host time, default 60s) this board waits for the linked "
                         "board's next slot before the link is given up (exit 1); the linked board may be held in "
                         "gdb or the monitor meanwhile, and is told when it goes on")
              ->type_name("DURATION")
              ->check([](const std::string& text) {
                sim::Time t = 0;
                if (!sim::parseDurationOk(text, t) || t < sim::milliseconds(1) || t > sim::seconds(86'400)) {
                  return "a duration from 1ms to 24h is needed, such as 60s or 10min, not " + sim::shownWord(text);
                }
                return std::string();
              });
          sim::addFileOption(app, "--zigbee-log", g_log, "write every byte the board sent on USART3 to FILE, raw");
          app.add_option("--zigbee-notice", g_notice,
                         "the ZigBee module announces itself: it sends TEXT to the board half a millisecond after "
                         "each release of its reset (escapes \\r \\n \\t \\\\ \\\" \\xNN; at most 256 "
                         "bytes). Without it the module, in transparent mode, sends nothing of its own")
              ->type_name("TEXT")
              ->check([](const std::string& text) {
                std::string error;
                return noticeBytes(text, error) ? std::string() : error;
              });
        },
    .apply =
        [](sim::CliRun& run) {
          if (!g_notice.empty()) {
            std::string error;
            run.board.zigbee().setStartUpNotice(*noticeBytes(g_notice, error));
          }
          if (!g_log.empty()) {
            std::FILE* file = run.files.openOutput("the ZigBee log", g_log);
            run.keep.push_back(std::make_shared<sim::ConsoleLog>(run.board.zigbee().uart(), file));
          }
          sim::ZigBeeLinkMode linkMode;
          if (!g_mode.empty()) {
            std::string error;
            linkMode = *sim::parseZigBeeMode(g_mode, error);
          }
          if (!g_peerWait.empty()) {
            if (linkMode.kind != sim::ZigBeeLinkMode::Kind::TcpListen &&
                linkMode.kind != sim::ZigBeeLinkMode::Kind::TcpConnect) {
              throw std::runtime_error("--zigbee-peer-wait needs --zigbee tcp-listen:PORT or tcp:HOST:PORT");
            }
            sim::Time t = 0;
            sim::parseDurationOk(g_peerWait, t);
            linkMode.peerWait = std::chrono::milliseconds(static_cast<std::int64_t>(sim::toSeconds(t) * 1000.0));
          }
          std::shared_ptr<sim::ZigBeeLink> link = sim::openZigBeeLink(linkMode, run.board);
          if (std::string said = link->announcement(); !said.empty()) {
            std::fprintf(stderr, "%s\n", said.c_str());
            std::fflush(stderr);
          }
          run.keep.push_back(link);
          sim::Board& board = run.board;
          run.atStart.push_back([link] { link->start(); });
          run.atEnd.push_back([link, &board](const sim::Stop*) {
            try {
              // The other board, if any, learns that this run is over.
              link->finish();
            } catch (const sim::Stop&) {
            }
            board.zigbee().setPeer(nullptr);
            return sim::CliEndStatus{};
          });
        },
}};

}  // namespace
