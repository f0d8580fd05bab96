#include "vcd_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <stdexcept>

#include "../core/stop.h"

namespace sim {

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

// VCD identifier codes: short strings of the printable characters '!' to '~'.
std::string identifierCode(std::size_t index) {
  constexpr unsigned kFirst = 33, kCount = 94;
  std::string code;
  do {
    code.push_back(static_cast<char>(kFirst + index % kCount));
    index /= kCount;
  } while (index != 0);
  return code;
}

bool validName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::uint64_t VcdWriter::picoseconds(Time t) { return units(t, 1); }

std::uint64_t VcdWriter::units(Time t, std::uint64_t unitPs) {
  // 128-bit product: a run of hours at 10^12 ps/s overflows 64 bits in the
  // intermediate value long before the result does.
  unsigned __int128 units = static_cast<unsigned __int128>(t) * 1'000'000'000'000ULL /
                            (static_cast<unsigned __int128>(kQuantaPerSecond) * unitPs);
  return static_cast<std::uint64_t>(units);
}

std::uint64_t VcdWriter::parseUnit(std::string_view text) {
  std::uint64_t count = 0;
  if (text.starts_with("100")) {
    count = 100;
  } else if (text.starts_with("10")) {
    count = 10;
  } else if (text.starts_with("1")) {
    count = 1;
  } else {
    return 0;
  }
  text.remove_prefix(count == 100 ? 3 : count == 10 ? 2 : 1);
  if (text == "ps") return count;
  if (text == "ns") return count * 1'000;
  if (text == "us" || text == "\u00b5s" || text == "\u03bcs") return count * 1'000'000;
  return 0;
}

std::string VcdWriter::unitText(std::uint64_t unitPs) {
  const char* unit = "ps";
  if (unitPs >= 1'000'000) {
    unitPs /= 1'000'000;
    unit = "us";
  } else if (unitPs >= 1'000) {
    unitPs /= 1'000;
    unit = "ns";
  }
  return std::to_string(unitPs) + unit;
}

VcdWriter::VcdWriter(std::string path, Now now, std::uint64_t unitPs)
    : path_(std::move(path)), now_(std::move(now)), unitPs_(unitPs) {
  if (parseUnit(unitText(unitPs_)) != unitPs_) {
    throw std::invalid_argument("no VCD time unit of " + std::to_string(unitPs_) + " ps");
  }
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path_ + " for the trace: " + std::strerror(errno));
  buffer_.resize(kBufferSize);
}

VcdWriter::~VcdWriter() {
  if (fd_ >= 0) ::close(fd_);
}

VcdWriter::SignalId VcdWriter::addSignal(const std::string& name, Level initial) {
  if (begun_) throw std::logic_error("VCD signal " + name + " declared after the header");
  if (!validName(name)) throw std::invalid_argument("VCD signal name '" + name + "' is not a plain identifier");
  signals_.push_back(Signal{name, identifierCode(signals_.size()), initial});
  return signals_.size() - 1;
}

void VcdWriter::begin() {
  if (begun_) return;
  begun_ = true;
  put("$comment TL500 virtual board; edges less than a time unit apart are written one unit apart, in "
      "their order $end\n$timescale " +
      unitText(unitPs_) + " $end\n$scope module tl500 $end\n");
  for (const Signal& s : signals_) put("$var wire 1 " + s.code + " " + s.name + " $end\n");
  put("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
  for (const Signal& s : signals_) put((s.level == Level::High ? "1" : "0") + s.code + "\n");
  put("$end\n");
  lastWhen_ = now_();
}

void VcdWriter::change(SignalId signal, Time when, Level level) {
  if (finished_ || !error_.empty()) return;
  Time now = now_();
  if (when < now) when = now;
  emitDue(now);
  Pending change{when, order_++, signal, level};
  if (when <= now && pending_.empty()) {
    emit(change);
  } else {
    pending_.push(change);
    emitDue(now);
  }
}

void VcdWriter::emitDue(Time upTo) {
  while (!pending_.empty() && pending_.top().when <= upTo) {
    Pending next = pending_.top();
    pending_.pop();
    emit(next);
  }
}

void VcdWriter::emit(const Pending& change) {
  Signal& s = signals_.at(change.signal);
  if (s.level == change.level) return;
  s.level = change.level;
  std::uint64_t own = units(change.when, unitPs_);
  std::uint64_t stamp = std::max(own, lastStamp_);
  // A later instant than the last change's, or this signal's second change,
  // within the same unit: one unit on, so neither order nor edge is lost.
  if (stamp == lastStamp_ && (change.when != lastWhen_ || s.changedAt == stamp)) ++stamp;
  if (stamp != own) {
    ++spaced_;
    latestPs_ = std::max(latestPs_, stamp * unitPs_ - picoseconds(change.when));
  }
  s.changedAt = stamp;
  lastWhen_ = change.when;
  std::string line;
  if (stamp != lastStamp_) {
    lastStamp_ = stamp;
    line = '#';
    line += std::to_string(stamp);
    line += '\n';
  }
  line += change.level == Level::High ? '1' : '0';
  line += s.code;
  line += '\n';
  put(line);
}

void VcdWriter::put(const std::string& text) {
  if (!error_.empty()) return;
  if (used_ + text.size() > buffer_.size()) flushBuffer();
  if (text.size() > buffer_.size()) buffer_.resize(text.size());
  std::memcpy(buffer_.data() + used_, text.data(), text.size());
  used_ += text.size();
}

void VcdWriter::flushBuffer() {
  std::size_t done = 0;
  while (done < used_) {
    ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      used_ = 0;
      fail(n < 0 ? std::strerror(errno) : "nothing written");
    }
    done += static_cast<std::size_t>(n);
  }
  used_ = 0;
}

void VcdWriter::fail(const std::string& what) {
  error_ = "writing the trace " + path_ + " failed: " + what;
  throw Stop(StopKind::Failed, error_);
}

bool VcdWriter::finish() {
  if (finished_) return error_.empty();
  finished_ = true;
  if (!error_.empty()) return false;
  try {
    Time now = now_();
    emitDue(~Time{0});
    // The end of the run, so a viewer shows the last levels up to it.
    std::uint64_t end = units(now, unitPs_);
    if (end > lastStamp_) {
      std::string stamp = "#";
      stamp += std::to_string(end);
      stamp += '\n';
      put(stamp);
    }
    flushBuffer();
  } catch (const Stop&) {
    return false;
  }
  int fd = std::exchange(fd_, -1);

  if (::close(fd) != 0 && error_.empty()) error_ = "writing the trace " + path_ + " failed: " + std::strerror(errno);
  return error_.empty();
}

}  // namespace sim
