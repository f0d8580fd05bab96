// A Thumb interpreter on its own for the instruction tests: 128 KiB of flash
// at 0x08000000 (and 0), 16 KiB of RAM at 0x20000000, and a peripheral
// window at 0x40000000 whose accesses are logged and read back as written.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <vector>

#include "sim/cpu/thumb/interpreter.h"

namespace thumb_test {

constexpr std::uint32_t kFlash = 0x08000000u;
constexpr std::uint32_t kRam = 0x20000000u;
constexpr std::uint32_t kPeripherals = 0x40000000u;

struct Access {
  bool write;
  std::uint32_t address;
  unsigned size;
  std::uint32_t value;
};

class Harness : public sim::thumb::Interpreter::Bus {
 public:
  Harness() : flash(128 * 1024, 0xFF), ram(16 * 1024, 0) {
    sim::thumb::Interpreter::Memory m;
    m.flash = flash.data();
    m.flashSize = static_cast<std::uint32_t>(flash.size());
    m.ram = ram.data();
    m.ramSize = static_cast<std::uint32_t>(ram.size());
    m.windowBegin[0] = kPeripherals;
    m.windowEnd[0] = kPeripherals + 0x100000u;
    cpu = std::make_unique<sim::thumb::Interpreter>(m, *this);
    cpu->setR(13, kRam + 0x4000u);
  }

  // Halfwords at `address` in flash (a 32-bit instruction is two: first the
  // high one), and the PC set there.
  void code(std::initializer_list<std::uint16_t> halfwords, std::uint32_t address = kFlash + 0x100u) {
    std::uint32_t at = address - kFlash;
    for (std::uint16_t h : halfwords) {
      flash[at] = static_cast<std::uint8_t>(h);
      flash[at + 1] = static_cast<std::uint8_t>(h >> 8);
      at += 2;
    }
    cpu->flashChanged();
    cpu->setPc(address);
  }

  // Runs `instructions` instructions (or until another exit).
  sim::thumb::Interpreter::Exit step(std::uint64_t instructions = 1) {
    cpu->limit = cpu->count + instructions;
    return cpu->run();
  }

  std::uint32_t word(std::uint32_t address) const {
    std::uint32_t v;
    std::memcpy(&v, &ram[address - kRam], 4);
    return v;
  }
  void setWord(std::uint32_t address, std::uint32_t v) { std::memcpy(&ram[address - kRam], &v, 4); }

  std::uint32_t read(std::uint32_t address, unsigned size) override {
    log.push_back({false, address, size, registers[address]});
    return registers[address];
  }
  void write(std::uint32_t address, unsigned size, std::uint32_t value) override {
    log.push_back({true, address, size, value});
    registers[address] = value;
  }

  std::vector<std::uint8_t> flash;
  std::vector<std::uint8_t> ram;
  std::map<std::uint32_t, std::uint32_t> registers;
  std::vector<Access> log;
  std::unique_ptr<sim::thumb::Interpreter> cpu;
};

}  // namespace thumb_test
