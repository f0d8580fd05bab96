#include "image_loader.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

constexpr std::uint16_t kElfMachineArm = 40;
constexpr std::uint16_t kElfTypeExec = 2;
constexpr std::uint32_t kSegmentLoad = 1;
constexpr std::uint32_t kSectionSymtab = 2;
constexpr std::uint32_t kSectionNobits = 8;

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Little-endian fields at offsets of the file, bounds-checked.
class Reader {
 public:
  Reader(const std::vector<std::uint8_t>& bytes, const std::string& name) : bytes_(bytes), name_(name) {}
  std::uint32_t u32(std::uint64_t at) const { return static_cast<std::uint32_t>(get(at, 4)); }
  std::uint16_t u16(std::uint64_t at) const { return static_cast<std::uint16_t>(get(at, 2)); }
  std::uint8_t u8(std::uint64_t at) const { return static_cast<std::uint8_t>(get(at, 1)); }
  void need(std::uint64_t at, std::uint64_t size, const char* what) const {
    if (at > bytes_.size() || size > bytes_.size() - at) {
      throw ImageError(name_ + ": truncated ELF file: " + what + " lies beyond the end of the file");
    }
  }
  std::string cstring(std::uint64_t at) const {
    std::string s;
    while (at < bytes_.size() && bytes_[at] != 0) s += static_cast<char>(bytes_[at++]);
    return s;
  }

 private:
  std::uint64_t get(std::uint64_t at, unsigned n) const {
    need(at, n, "a header field");
    std::uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= std::uint64_t{bytes_[at + i]} << (8 * i);
    return v;
  }
  const std::vector<std::uint8_t>& bytes_;
  const std::string& name_;
};

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
  BoardImage image;
  image.path = name;
  if (bytes.size() < 52 || std::memcmp(bytes.data(), "\x7f" "ELF", 4) != 0) {
    throw ImageError(name + ": not an ELF file (a board image is the tl500.elf of the target build)");
  }
  Reader r(bytes, name);
  if (r.u8(4) != 1 || r.u8(5) != 1) {
    throw ImageError(name + ": not a 32-bit little-endian ELF file: this is no image for a Cortex-M3");
  }
  std::uint16_t machine = r.u16(18);
  if (machine != kElfMachineArm) {
    throw ImageError(name + ": ELF file for another machine (e_machine " + std::to_string(machine) +
                     "), not ARM: this is no image for the board's Cortex-M3");
  }
  if (r.u16(16) != kElfTypeExec) throw ImageError(name + ": not an executable ELF file (an object file or library?)");

  std::uint32_t phoff = r.u32(28), shoff = r.u32(32);
  std::uint16_t phentsize = r.u16(42), phnum = r.u16(44), shentsize = r.u16(46), shnum = r.u16(48),
                shstrndx = r.u16(50);
  r.need(phoff, std::uint64_t{phentsize} * phnum, "the program headers");
  bool loaded = false;
  for (unsigned i = 0; i < phnum; ++i) {
    std::uint64_t ph = phoff + std::uint64_t{i} * phentsize;
    if (r.u32(ph) != kSegmentLoad) continue;
    std::uint32_t offset = r.u32(ph + 4), paddr = r.u32(ph + 12), filesz = r.u32(ph + 16);
    if (filesz == 0) continue;  // RAM the start-up code sets up (.bss, heap, stack)
    r.need(offset, filesz, "a loaded segment");
    std::uint64_t end = std::uint64_t{paddr} + filesz;
    if (paddr < BoardImage::kFlashBase || end > std::uint64_t{BoardImage::kFlashBase} + BoardImage::kFlashSize) {
      throw ImageError(name + ": " + std::to_string(filesz) + " bytes to load at " + hex(paddr) +
                       " do not fit the chip's flash (" + std::to_string(BoardImage::kFlashSize / 1024) +
                       " KiB at " + hex(BoardImage::kFlashBase) + "): the image is larger than flash");
    }
    std::memcpy(&image.flash[paddr - BoardImage::kFlashBase], &bytes[offset], filesz);
    image.flashUsed = std::max(image.flashUsed, static_cast<std::uint32_t>(end - BoardImage::kFlashBase));
    loaded = true;
  }
  if (!loaded) throw ImageError(name + ": nothing to load into flash");

  // Sections and symbols: the stack, the end of the heap, function names.
  if (shoff != 0 && shnum != 0) {
    r.need(shoff, std::uint64_t{shentsize} * shnum, "the section headers");
    std::uint64_t strtabHeader = shoff + std::uint64_t{shstrndx} * shentsize;
    std::uint32_t shstrOff = shstrndx < shnum ? r.u32(strtabHeader + 16) : 0;
    for (unsigned i = 0; i < shnum; ++i) {
      std::uint64_t sh = shoff + std::uint64_t{i} * shentsize;
      std::string secName = r.cstring(std::uint64_t{shstrOff} + r.u32(sh));
      std::uint32_t type = r.u32(sh + 4), addr = r.u32(sh + 12), off = r.u32(sh + 16), size = r.u32(sh + 20),
                    link = r.u32(sh + 24), entsize = r.u32(sh + 36);
      if (secName == ".stack" && type == kSectionNobits) {
        image.stackBottom = addr;
        image.stackTop = addr + size;
      }
      if ((secName == ".heap" || secName == ".bss" || secName == ".data") && addr >= BoardImage::kRamBase) {
        image.ramUsedEnd = std::max(image.ramUsedEnd, addr + size);
      }
      if (type == kSectionSymtab && entsize == 16 && link < shnum) {
        r.need(off, size, "the symbol table");
        std::uint32_t strOff = r.u32(shoff + std::uint64_t{link} * shentsize + 16);
        for (std::uint32_t s = 0; s + 16 <= size; s += 16) {
          std::uint8_t info = r.u8(std::uint64_t{off} + s + 12);
          unsigned symType = info & 0xFu;
          if (symType != 2 && symType != 1) continue;  // functions and objects
          std::uint32_t value = r.u32(std::uint64_t{off} + s + 4);
          std::string symName = r.cstring(std::uint64_t{strOff} + r.u32(std::uint64_t{off} + s));
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
    image.stackTop = sp;
    image.stackBottom = sp - 1024;
  }
  return image;
}

BoardImage loadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageError("cannot open image " + path);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return parseImage(bytes, path);
}

}  // namespace sim
