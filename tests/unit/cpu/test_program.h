// Small hand-assembled Thumb programs as board images for the emulated core's
// tests: the code at kCode in flash, the stack the top kibibyte of RAM.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/cpu/image_loader.h"

namespace cpu_test {

constexpr std::uint32_t kFlash = 0x08000000u;
constexpr std::uint32_t kCode = 0x100;  // where the program lies in flash

// Vector `slot` points at the Thumb routine at `offset` in flash.
inline void setVector(sim::BoardImage& image, unsigned slot, std::uint32_t offset) {
  const std::uint32_t value = (kFlash + offset) | 1u;
  std::memcpy(&image.flash[slot * 4], &value, 4);
}

// `code` at kCode, the reset vector at kCode + `entry`.
inline sim::BoardImage programImage(const std::vector<std::uint8_t>& code, std::uint32_t entry = 0) {
  sim::BoardImage image;
  image.path = "test program";
  std::memcpy(&image.flash[kCode], code.data(), code.size());
  const std::uint32_t stackTop = 0x20004000u;
  std::memcpy(&image.flash[0], &stackTop, 4);
  setVector(image, 1, kCode + entry);
  image.flashUsed = kCode + static_cast<std::uint32_t>(code.size());
  image.stackBottom = stackTop - 0x400u;
  image.stackTop = stackTop;
  image.ramUsedEnd = 0x20000100u;
  return image;
}

}  // namespace cpu_test
