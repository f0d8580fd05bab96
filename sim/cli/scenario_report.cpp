#include "scenario_report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace sim::scenarios {

namespace {

std::string nowIso() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

}  // namespace

std::string indent(const std::string& text, const std::string& by) {
  std::string out = by;
  for (char c : text) {
    out += c;
    if (c == '\n') out += by;
  }
  return out;
}

std::string xmlText(std::string_view text) {
  std::string out;
  auto hex = [&](unsigned char c) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
    out += buffer;
  };
  for (std::size_t at = 0; at < text.size();) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        case '\n':
          out += "&#10;";
          break;
        case '\t':
          out += "&#9;";
          break;
        case '\r':
          out += "&#13;";
          break;
        default:
          if (c < 0x20 || c == 0x7f) {
            hex(c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++at;
      continue;
    }
    // A well-formed UTF-8 sequence of a character XML allows passes whole.
    std::size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
    bool ok = length != 0 && at + length <= text.size();
    std::uint32_t code = length == 4 ? c & 0x07u : length == 3 ? c & 0x0fu : c & 0x1fu;
    for (std::size_t i = 1; ok && i < length; ++i) {
      auto next = static_cast<unsigned char>(text[at + i]);
      ok = (next & 0xc0) == 0x80;
      code = (code << 6) | (next & 0x3fu);
    }
    ok = ok && !(length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff) || code >= 0xfffe)) &&
         !(length == 4 && (code < 0x10000 || code > 0x10ffff));
    if (ok) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      hex(c);
      ++at;
    }
  }
  return out;
}

Progress::Progress(std::size_t total) : on_(isatty(2) == 1), total_(total) {}

void Progress::update(std::size_t done, std::size_t passed, std::size_t failed, const std::string& running) {
  if (!on_) return;
  auto now = std::chrono::steady_clock::now();
  if (shown_ && now - last_ < std::chrono::milliseconds(100) && done != total_) return;
  last_ = now;
  winsize size{};
  std::size_t width = ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  std::string line = "[" + std::to_string(done) + "/" + std::to_string(total_) + "] " + std::to_string(passed) +
                     " passed, " + std::to_string(failed) + " failed" + (running.empty() ? "" : "; " + running);
  if (line.size() >= width) line.resize(width - 1);
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  if (!on_ || !shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

bool writeJunit(std::FILE* file, const ScenarioRuns& runner, const std::vector<Case>& cases,
                const std::vector<Failure>& failures, double seconds) {
  std::size_t tests = 0, failed = 0;
  for (const auto& c : cases) {
    if (!c.finished) continue;
    ++tests;
    if (c.failed) ++failed;
  }
  std::string suite = runner.variantName();
  std::fprintf(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  std::fprintf(file, "<testsuites name=\"tl500-sim test\" tests=\"%zu\" failures=\"%zu\" errors=\"0\" time=\"%.3f\">\n",
               tests, failed, seconds);
  std::fprintf(file,
               "  <testsuite name=\"%s\" tests=\"%zu\" failures=\"%zu\" errors=\"0\" skipped=\"0\" time=\"%.3f\" "
               "timestamp=\"%s\">\n",
               suite.c_str(), tests, failed, seconds, nowIso().c_str());
  for (const auto& c : cases) {
    if (!c.finished) continue;
    std::fprintf(file, "    <testcase classname=\"%s\" name=\"%s\" file=\"%s\" time=\"%.3f\"", xmlText(suite).c_str(),
                 xmlText(runner.label(c)).c_str(), xmlText(runner.scenario(c).path).c_str(), c.seconds);
    if (!c.failed) {
      std::fprintf(file, "/>\n");
      continue;
    }
    const Failure& failure = failures[c.report];
    std::fprintf(file, ">\n      <failure message=\"%s\" type=\"scenario failed\">%s</failure>\n    </testcase>\n",
                 xmlText(failure.message).c_str(), xmlText(failure.text).c_str());
  }
  std::fprintf(file, "  </testsuite>\n</testsuites>\n");
  return std::fflush(file) == 0 && !std::ferror(file);
}

}  // namespace sim::scenarios
