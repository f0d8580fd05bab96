// Loading a board image (tl500.elf) for the emulated core: the bytes that a
// programmer would write into flash, and what the core and the stack checks
// need to know about the image's memory layout.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// The file is not an image this board can run; the message says why.
class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct BoardImage {
  static constexpr std::uint32_t kFlashBase = 0x08000000u;
  static constexpr std::uint32_t kFlashSize = 128u * 1024u;
  static constexpr std::uint32_t kRamBase = 0x20000000u;
  static constexpr std::uint32_t kRamSize = 16u * 1024u;

  std::string path;
  // The whole flash as programmed: erased bytes read 0xFF.
  std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(kFlashSize, 0xFF);
  std::uint32_t flashUsed = 0;  // bytes from the start of flash to the end of the last loaded byte
  // The main stack: [stackBottom, stackTop), from the image's .stack section
  // (else 1 KiB below the initial stack pointer).
  std::uint32_t stackBottom = 0;
  std::uint32_t stackTop = 0;
  // End of the heap or, without one, of the statically used RAM: the free RAM
  // between it and the stack is never written unless the stack overruns.
  std::uint32_t ramUsedEnd = kRamBase;
  // Function and object symbols by address (diagnostics).
  std::map<std::uint32_t, std::string> symbols;

  std::uint32_t word(std::uint32_t flashOffset) const;
  // "Name+0x12" for an address inside a known function, else "".
  std::string symbolAt(std::uint32_t address) const;
};

// Reads and checks an ELF file: 32-bit little-endian ARM executable whose
// loaded bytes all lie in the chip's flash, whose load segments lie in its
// flash and RAM without overlapping, and whose vector table gives an initial
// stack pointer in RAM and a Thumb reset vector. Only a regular file is
// taken, and only its headers, load segments and symbols are read, each
// bounded. Throws ImageError.
BoardImage loadImage(const std::string& path);
// The same from bytes in memory (tests).
BoardImage parseImage(const std::vector<std::uint8_t>& bytes, const std::string& name);

}  // namespace sim
