// Register access seam.
//
// Every peripheral register of the chip is declared as IoReg<T>, where T is the
// register's width (uint8_t, uint16_t or uint32_t).
//
// On the board IoReg<T> is simply `volatile T` placed at the datasheet address.
// On the host it is a proxy of the same size: each read and write is forwarded,
// with its width, to the virtual board, which serves it from the model of the
// peripheral at that chip address (flags cleared by reads, bits set later by the
// hardware, interrupts raised). The register blocks live in a host window that
// mirrors the chip's peripheral address space, so a proxy knows its chip address
// from where it sits.
#pragma once

#include <cstdint>

#if defined(TL500_HOST)

namespace hostbus {
// Served by the virtual board. `reg` is the proxy's own address in the host window.
std::uint32_t read(const volatile void* reg, unsigned width);
void write(volatile void* reg, unsigned width, std::uint32_t value);
// Host address of the register block at `chipAddress`.
std::uintptr_t hostAddress(std::uint32_t chipAddress);
}  // namespace hostbus

template <typename T>
class IoReg {
 public:
  IoReg() = default;
  IoReg(const IoReg&) = delete;
  IoReg& operator=(const IoReg&) = delete;

  operator T() const {  // NOLINT(google-explicit-constructor): reads like a register
    return static_cast<T>(hostbus::read(this, sizeof(T)));
  }
  IoReg& operator=(T value) {
    hostbus::write(this, sizeof(T), value);
    return *this;
  }
  // Read-modify-write, two bus accesses as on the chip.
  IoReg& operator|=(T bits) { return *this = static_cast<T>(static_cast<T>(*this) | bits); }
  IoReg& operator&=(T bits) { return *this = static_cast<T>(static_cast<T>(*this) & bits); }
  IoReg& operator^=(T bits) { return *this = static_cast<T>(static_cast<T>(*this) ^ bits); }

 private:
  T cell_{};  // keeps the register's size and place in its block; never holds the value
};

#define TL500_REG_BLOCK(Type, chipAddress) (reinterpret_cast<Type*>(hostbus::hostAddress(chipAddress)))

#else

template <typename T>
using IoReg = volatile T;

#define TL500_REG_BLOCK(Type, chipAddress) (reinterpret_cast<Type*>(chipAddress))

#endif

static_assert(sizeof(IoReg<std::uint8_t>) == 1);
static_assert(sizeof(IoReg<std::uint16_t>) == 2);
static_assert(sizeof(IoReg<std::uint32_t>) == 4);
