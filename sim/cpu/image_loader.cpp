#include "image_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace sim {

namespace {

constexpr std::uint16_t kElfMachineArm = 40;
constexpr std::uint16_t kElfTypeExec = 2;
constexpr std::uint32_t kSegmentLoad = 1;
constexpr std::uint32_t kSectionSymtab = 2;
constexpr std::uint32_t kSectionNobits = 8;
constexpr std::size_t kElfHeaderBytes = 52;
constexpr std::uint16_t kProgramHeaderBytes = 32;
constexpr std::uint16_t kSectionHeaderBytes = 40;
// A board image has a handful of program headers and a few dozen sections;
// these bounds keep a crafted header from making the loader read (and
// allocate) gigabytes.
constexpr unsigned kMaxProgramHeaders = 64;
constexpr unsigned kMaxSections = 1024;
// Symbol and string tables: the firmware's are some tens of kilobytes.
constexpr std::uint64_t kMaxTableBytes = 4u << 20;

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::uint32_t le(const std::vector<std::uint8_t>& b, std::size_t at, unsigned n) {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < n; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
  return v;
}

// Where an image's bytes come from: a file, read piece by piece where the
// headers point, or bytes in memory. Every piece is bounds-checked against
// the size first, so nothing is read that the image does not need.
class Source {
 public:
  Source(std::string name, std::uint64_t size) : name_(std::move(name)), size_(size) {}
  virtual ~Source() = default;
  const std::string& name() const { return name_; }

  void need(std::uint64_t at, std::uint64_t size, const std::string& what) const {
    if (at > size_ || size > size_ - at) {
      throw ImageError(name_ + ": truncated ELF file: the file ends (at byte " + std::to_string(size_) +
                       ") before the end of " + what);
    }
  }
  std::vector<std::uint8_t> read(std::uint64_t at, std::uint64_t size, const std::string& what) const {
    need(at, size, what);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
    if (size != 0) readAt(at, out.data(), out.size());
    return out;
  }

 protected:
  virtual void readAt(std::uint64_t at, std::uint8_t* out, std::size_t size) const = 0;

 private:
  std::string name_;
  std::uint64_t size_;
};

class MemorySource : public Source {
 public:
  MemorySource(const std::vector<std::uint8_t>& bytes, const std::string& name)
      : Source(name, bytes.size()), bytes_(bytes) {}

 protected:
  void readAt(std::uint64_t at, std::uint8_t* out, std::size_t size) const override {
    std::memcpy(out, bytes_.data() + at, size);
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
};

class FileSource : public Source {
 public:
  FileSource(int fd, const std::string& name, std::uint64_t size) : Source(name, size), fd_(fd) {}

 protected:
  void readAt(std::uint64_t at, std::uint8_t* out, std::size_t size) const override {
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(at + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw ImageError("cannot read image " + name() + ": " + std::strerror(errno));
      if (n == 0) throw ImageError(name() + ": the file became shorter while it was read");
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
};

// Where an address lies on the chip, for the messages.
std::string whereOnChip(std::uint32_t address) {
  if (address >= BoardImage::kFlashBase && address - BoardImage::kFlashBase < BoardImage::kFlashSize)
    return "in the chip's flash";
  if (address >= BoardImage::kRamBase && address - BoardImage::kRamBase < BoardImage::kRamSize) return "in the chip's RAM";
  return "where the chip has no memory";
}
bool within(std::uint32_t address, std::uint64_t size, std::uint32_t base, std::uint32_t regionSize) {
  return address >= base && std::uint64_t{address} - base + size <= regionSize;
}
const std::string& chipMemory() {
  static const std::string text = "the chip has " + std::to_string(BoardImage::kFlashSize / 1024) + " KiB of flash at " +
                                  hex(BoardImage::kFlashBase) + " and " + std::to_string(BoardImage::kRamSize / 1024) +
                                  " KiB of RAM at " + hex(BoardImage::kRamBase);
  return text;
}

struct Segment {
  unsigned index;
  std::uint32_t offset, vaddr, paddr, filesz, memsz;
};

// Two segments' ranges share bytes: the first shared address, or none.
std::optional<std::uint32_t> overlap(std::uint32_t a, std::uint32_t aSize, std::uint32_t b, std::uint32_t bSize) {
  if (aSize == 0 || bSize == 0) return std::nullopt;
  std::uint64_t from = std::max(a, b), to = std::min(std::uint64_t{a} + aSize, std::uint64_t{b} + bSize);
  if (from >= to) return std::nullopt;
  return static_cast<std::uint32_t>(from);
}

BoardImage parse(const Source& src) {
  const std::string& name = src.name();
  BoardImage image;
  image.path = name;
  std::vector<std::uint8_t> header;
  try {
    header = src.read(0, kElfHeaderBytes, "the ELF header");
  } catch (const ImageError&) {
    header.clear();
  }
  if (header.size() < kElfHeaderBytes || std::memcmp(header.data(), "\x7f" "ELF", 4) != 0) {
    throw ImageError(name + ": not an ELF file (a board image is the tl500.elf of the target build)");
  }
  if (header[4] != 1 || header[5] != 1) {
    throw ImageError(name + ": not a 32-bit little-endian ELF file: this is no image for a Cortex-M3");
  }
  std::uint32_t machine = le(header, 18, 2);
  if (machine != kElfMachineArm) {
    throw ImageError(name + ": ELF file for another machine (e_machine " + std::to_string(machine) +
                     "), not ARM: this is no image for the board's Cortex-M3");
  }
  if (le(header, 16, 2) != kElfTypeExec) {
    throw ImageError(name + ": not an executable ELF file (an object file or library?)");
  }

  std::uint32_t phoff = le(header, 28, 4), shoff = le(header, 32, 4);
  unsigned phentsize = le(header, 42, 2), phnum = le(header, 44, 2), shentsize = le(header, 46, 2),
           shnum = le(header, 48, 2), shstrndx = le(header, 50, 2);
  if (phnum > kMaxProgramHeaders) {
    throw ImageError(name + ": " + std::to_string(phnum) + " program headers; a board image has a few (at most " +
                     std::to_string(kMaxProgramHeaders) + " are read)");
  }
  if (phnum != 0 && phentsize != kProgramHeaderBytes) {
    throw ImageError(name + ": program headers of " + std::to_string(phentsize) + " bytes, not the " +
                     std::to_string(kProgramHeaderBytes) + " of a 32-bit ELF file");
  }
  std::vector<std::uint8_t> ph = src.read(phoff, std::uint64_t{kProgramHeaderBytes} * phnum, "the program headers");

  // Every load segment is checked against the chip's memories and the
  // others before a byte of it is read.
  std::vector<Segment> segments;
  for (unsigned i = 0; i < phnum; ++i) {
    std::size_t at = std::size_t{i} * kProgramHeaderBytes;
    if (le(ph, at, 4) != kSegmentLoad) continue;
    Segment seg{i, le(ph, at + 4, 4), le(ph, at + 8, 4), le(ph, at + 12, 4), le(ph, at + 16, 4), le(ph, at + 20, 4)};
    std::string which = "load segment " + std::to_string(i);
    if (seg.memsz < seg.filesz) {
      throw ImageError(name + ": " + which + " has more bytes in the file (" + std::to_string(seg.filesz) +
                       ") than in memory (" + std::to_string(seg.memsz) + ")");
    }
    // The bytes a programmer writes (at the physical address) go into flash.
    if (seg.filesz != 0 &&
        !within(seg.paddr, seg.filesz, BoardImage::kFlashBase, BoardImage::kFlashSize)) {
      std::string what = name + ": " + which + ": " + std::to_string(seg.filesz) + " bytes to load at " + hex(seg.paddr);
      if (whereOnChip(seg.paddr) == "in the chip's flash") {
        throw ImageError(what + " do not fit the chip's flash (" + std::to_string(BoardImage::kFlashSize / 1024) +
                         " KiB at " + hex(BoardImage::kFlashBase) + "): the image is larger than flash");
      }
      throw ImageError(what + ", " + whereOnChip(seg.paddr) + ": loaded bytes go into flash (" + chipMemory() + ")");
    }
    // Where the segment lives while the firmware runs (its .data and .bss
    // in RAM, its code in flash) must be memory of the chip too.
    if (seg.memsz != 0 && !within(seg.vaddr, seg.memsz, BoardImage::kFlashBase, BoardImage::kFlashSize) &&
        !within(seg.vaddr, seg.memsz, BoardImage::kRamBase, BoardImage::kRamSize)) {
      std::string where = whereOnChip(seg.vaddr);
      throw ImageError(name + ": " + which + ": " + std::to_string(seg.memsz) + " bytes of memory at " +
                       hex(seg.vaddr) + (where.starts_with("in ") ? " do not fit " + where.substr(3) : ", " + where) +
                       " (" + chipMemory() + ")");
    }
    src.need(seg.offset, seg.filesz, which);
    for (const Segment& other : segments) {
      auto inFlash = overlap(other.paddr, other.filesz, seg.paddr, seg.filesz);
      auto inMemory = overlap(other.vaddr, other.memsz, seg.vaddr, seg.memsz);
      if (inFlash || inMemory) {
        throw ImageError(name + ": load segments " + std::to_string(other.index) + " and " + std::to_string(i) +
                         " overlap at " + hex(inFlash ? *inFlash : *inMemory) +
                         ": the image is broken (a linker script fault?)");
      }
    }
    segments.push_back(seg);
  }
  bool loaded = false;
  for (const Segment& seg : segments) {
    if (seg.filesz == 0) continue;  // RAM the start-up code sets up (.bss, heap, stack)
    std::vector<std::uint8_t> bytes = src.read(seg.offset, seg.filesz, "load segment " + std::to_string(seg.index));
    std::copy(bytes.begin(), bytes.end(), image.flash.begin() + (seg.paddr - BoardImage::kFlashBase));
    image.flashUsed = std::max(image.flashUsed, seg.paddr - BoardImage::kFlashBase + seg.filesz);
    loaded = true;
  }
  if (!loaded) throw ImageError(name + ": nothing to load into flash");

  // Sections and symbols: the stack, the end of the heap, function names.
  if (shoff != 0 && shnum != 0) {
    if (shnum > kMaxSections) {
      throw ImageError(name + ": " + std::to_string(shnum) + " sections; at most " + std::to_string(kMaxSections) +
                       " are read");
    }
    if (shentsize != kSectionHeaderBytes) {
      throw ImageError(name + ": section headers of " + std::to_string(shentsize) + " bytes, not the " +
                       std::to_string(kSectionHeaderBytes) + " of a 32-bit ELF file");
    }
    std::vector<std::uint8_t> sh = src.read(shoff, std::uint64_t{kSectionHeaderBytes} * shnum, "the section headers");
    auto field = [&](unsigned section, unsigned at) { return le(sh, std::size_t{section} * kSectionHeaderBytes + at, 4); };
    auto table = [&](unsigned section, const std::string& what) {
      std::uint32_t size = field(section, 20);
      if (size > kMaxTableBytes) {
        throw ImageError(name + ": " + what + " of " + std::to_string(size) + " bytes; at most " +
                         std::to_string(kMaxTableBytes >> 20) + " MiB are read");
      }
      return src.read(field(section, 16), size, what);
    };
    auto cstring = [](const std::vector<std::uint8_t>& strings, std::uint32_t at) {
      std::string s;
      while (at < strings.size() && strings[at] != 0) s += static_cast<char>(strings[at++]);
      return s;
    };
    std::vector<std::uint8_t> sectionNames;
    if (shstrndx < shnum) sectionNames = table(shstrndx, "the section name table");
    for (unsigned i = 0; i < shnum; ++i) {
      std::string secName = cstring(sectionNames, field(i, 0));
      std::uint32_t type = field(i, 4), addr = field(i, 12), size = field(i, 20), link = field(i, 24),
                    entsize = field(i, 36);
      if (secName == ".stack" && type == kSectionNobits) {
        // The start-up fill and the stack checks write this range of RAM.
        if (!within(addr, size, BoardImage::kRamBase, BoardImage::kRamSize)) {
          throw ImageError(name + ": the stack (.stack, " + std::to_string(size) + " bytes at " + hex(addr) +
                           ") is not in the chip's RAM (" + std::to_string(BoardImage::kRamSize / 1024) +
                           " KiB at " + hex(BoardImage::kRamBase) + ")");
        }
        image.stackBottom = addr;
        image.stackTop = addr + size;
      }
      if ((secName == ".heap" || secName == ".bss" || secName == ".data") &&
          within(addr, size, BoardImage::kRamBase, BoardImage::kRamSize)) {
        image.ramUsedEnd = std::max(image.ramUsedEnd, addr + size);
      }
      if (type == kSectionSymtab && entsize == 16 && link < shnum) {
        std::vector<std::uint8_t> symbols = table(i, "the symbol table");
        std::vector<std::uint8_t> names = table(link, "the symbol name table");
        for (std::size_t s = 0; s + 16 <= symbols.size(); s += 16) {
          unsigned symType = symbols[s + 12] & 0xFu;
          if (symType != 2 && symType != 1) continue;  // functions and objects
          std::uint32_t value = le(symbols, s + 4, 4);
          std::string symName = cstring(names, le(symbols, s, 4));
          if (!symName.empty() && value != 0) image.symbols.emplace(value, symName);
        }
      }
    }
  }

  std::uint32_t sp = image.word(0), reset = image.word(4);
  if (sp < BoardImage::kRamBase || sp > BoardImage::kRamBase + BoardImage::kRamSize || (sp & 3) != 0) {
    throw ImageError(name + ": the vector table's initial stack pointer " + hex(sp) + " is not in the chip's RAM");
  }
  if ((reset & 1) == 0 || reset - 1 < BoardImage::kFlashBase || reset - 1 >= BoardImage::kFlashBase + image.flashUsed) {
    throw ImageError(name + ": the reset vector " + hex(reset) + " is not Thumb code in the image's flash");
  }
  if (image.stackTop == 0) {
    // Without a .stack section: 1 KiB below the initial stack pointer, or
    // as much of it as there is RAM.
    image.stackTop = sp;
    image.stackBottom = std::max(sp - std::min(sp, 1024u), BoardImage::kRamBase);
  }
  return image;
}

}  // namespace

std::uint32_t BoardImage::word(std::uint32_t flashOffset) const {
  if (flashOffset + 4 > flash.size()) return 0xFFFFFFFFu;
  std::uint32_t v;
  std::memcpy(&v, &flash[flashOffset], 4);
  return v;
}

std::string BoardImage::symbolAt(std::uint32_t address) const {
  auto it = symbols.upper_bound(address | 1u);
  if (it == symbols.begin()) return "";
  --it;
  std::uint32_t start = it->first & ~1u;
  if (address - start > 0x4000) return "";
  char buf[24];
  std::snprintf(buf, sizeof buf, "+0x%X", address - start);
  return it->second + buf;
}

BoardImage parseImage(const std::vector<std::uint8_t>& bytes, const std::string& name) {
  return parse(MemorySource(bytes, name));
}

// Only a regular file is read, and only where its headers point: a FIFO
// would block the open and the reads, a device such as /dev/zero never ends,
// and a large sparse file would be read whole for nothing.
BoardImage loadImage(const std::string& path) {
  // Non-blocking: opening a FIFO for reading would wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw ImageError("cannot open image " + path + ": " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw ImageError("cannot read image " + path + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw ImageError(path + " is a directory, not a board image");
  if (!S_ISREG(st.st_mode)) {
    throw ImageError(path + " is not a regular file (a FIFO, device or socket): a board image is the tl500.elf "
                            "of the target build");
  }
  return parse(FileSource(fd, path, static_cast<std::uint64_t>(st.st_size)));
}

}  // namespace sim
