#include "run_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace sim {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

}  // namespace

RunFiles::~RunFiles() { (void)closeOutputs(); }

// The null device may take any number of outputs. Any other file, pipe or
// terminal reached by two names gets both outputs mixed: the second one opened
// truncates the first's file, or the two interleave.
bool RunFiles::sharable(const Entry& entry) {
  if (entry.regular) return false;
  struct stat null {};
  return ::stat("/dev/null", &null) == 0 && entry.device == null.st_dev && entry.inode == null.st_ino;
}

void RunFiles::checkDistinct(const Entry& entry) const {
  if (!entry.known || sharable(entry)) return;
  for (const auto& other : entries_) {
    if (other.known && other.device == entry.device && other.inode == entry.inode) {
      refuse(entry.role + " " + entry.path + " is the same file as " + other.role + " " + other.path);
    }
  }
}

void RunFiles::noteIdentity(Entry& entry, const struct stat& st) {
  entry.device = st.st_dev;
  entry.inode = st.st_ino;
  entry.regular = S_ISREG(st.st_mode);
  entry.known = true;
}

void RunFiles::addInput(const std::string& role, const std::string& path) {
  Entry entry{role, path};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) refuse("cannot read " + role + " " + path + ": " + std::strerror(errno));
  noteIdentity(entry, st);
  checkDistinct(entry);
  entries_.push_back(entry);
}

std::string RunFiles::readInput(const std::string& role, const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) refuse("cannot read " + role + " " + path + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) refuse(role + " " + path + " is a directory");
  if (!S_ISREG(st.st_mode)) refuse(role + " " + path + " is not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > kMaxInputBytes) refuse(role + " " + path + " is larger than 16 MiB");
  addInput(role, path);
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) refuse("cannot read " + role + " " + path);
  // Read in pieces: a script is a few kilobytes, and a buffer of the largest
  // size allowed would cost more to clear than the whole run to the first menu.
  // The file may have grown since stat(): the limit holds for what is read.
  std::string content;
  char piece[16384];
  while (in) {
    in.read(piece, sizeof piece);
    content.append(piece, static_cast<std::size_t>(in.gcount()));
    if (content.size() > kMaxInputBytes) refuse(role + " " + path + " is larger than 16 MiB");
  }
  if (in.bad()) refuse("cannot read " + role + " " + path);
  return content;
}

std::FILE* RunFiles::openOutput(const std::string& role, const std::string& path) {
  Entry entry{role, path};
  if (path == "-") {
    // Standard output is whatever file it is open on: `> trace.vcd`, or the
    // same file another output names as /dev/stdout.
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) == 0) noteIdentity(entry, st);
    checkDistinct(entry);
    entry.file = stdout;
    entries_.push_back(entry);
    return stdout;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) refuse("cannot write " + role + " " + path + ": it is a directory");
    noteIdentity(entry, st);
    checkDistinct(entry);
  }
  entry.file = std::fopen(path.c_str(), "wb");
  if (entry.file == nullptr) refuse("cannot write " + role + " " + path + ": " + std::strerror(errno));
  entry.owned = true;
  if (::fstat(fileno(entry.file), &st) == 0) {
    noteIdentity(entry, st);
    try {
      checkDistinct(entry);
    } catch (...) {
      std::fclose(entry.file);
      throw;
    }
  }
  entries_.push_back(entry);
  return entry.file;
}

void RunFiles::claimOutput(const std::string& role, const std::string& path) {
  Entry entry{role, path};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Created empty, without truncating anything, so that it has an identity
    // the outputs opened after it are compared with.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      int error = errno;
      if (fd >= 0) ::close(fd);
      refuse("cannot write " + role + " " + path + ": " + std::strerror(error));
    }
    ::close(fd);
  }
  if (S_ISDIR(st.st_mode)) refuse("cannot write " + role + " " + path + ": it is a directory");
  noteIdentity(entry, st);
  checkDistinct(entry);
  entries_.push_back(entry);
}

void RunFiles::writeFailed(std::FILE* file, int error) {
  for (auto& entry : entries_) {
    if (entry.file == file && entry.error == 0) entry.error = error;
  }
}

void RunFiles::flushOutputs() {
  for (auto& entry : entries_) {
    if (entry.file != nullptr) std::fflush(entry.file);
  }
}

std::vector<std::string> RunFiles::closeOutputs() {
  std::vector<std::string> failures;
  for (auto& entry : entries_) {
    if (entry.file == nullptr) continue;
    errno = 0;
    bool ok = std::fflush(entry.file) == 0 && !std::ferror(entry.file) && entry.error == 0;
    // The first failure's reason: by now a flush may have nothing left to fail on.
    int error = entry.error != 0 ? entry.error : errno;
    if (entry.owned && std::fclose(entry.file) != 0) {
      if (ok) error = errno;
      ok = false;
    }
    entry.file = nullptr;
    if (!ok) {
      failures.push_back("writing " + entry.role + " " + (entry.path == "-" ? "to standard output" : entry.path) +
                         " failed" + (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    }
  }
  return failures;
}

}  // namespace sim
