// Where each MCU keeps its boot loader, application, manufacturing fields and the RAM that a
// downloaded flash programmer runs in, as the program knows them. The firmware bundle is laid
// out by this map; the simulated unit keeps a map of its own.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "wire/unit_codes.h"

namespace kl {

struct MemoryRange {
  uint32_t first = 0;
  uint32_t size = 0;  // 0: no such range
  constexpr uint32_t last() const { return first + size - 1; }
  constexpr bool contains(uint32_t address) const { return size != 0 && address >= first && address - first < size; }
};

struct McuMemory {
  uint8_t mcuType = 0;
  // Flash banks in address order; the application may run on from the first into the second.
  std::array<MemoryRange, 2> flashBanks{};
  // The boot loader's block at the start of the first bank; it ends at or below 0x3FFF
  // (taken modulo 2^24), so rewriting it never asks for a flash erase.
  MemoryRange bootLoader;
  // Manufacturing fields, inside the boot loader's block; images never write there.
  MemoryRange manufacturingFields;
  // First address of the application software.
  uint32_t applicationStart = 0;
  // RAM where a flash programmer is downloaded and started.
  MemoryRange programmerRam;
};

// The map of an MCU type; nothing for an unknown type.
constexpr std::optional<McuMemory> MemoryOf(uint8_t mcuType) {
  switch (mcuType) {
    case wire::mcu::H8S2145:
      // Never reprogrammed by this program; only its RAM programmers are carried.
      return McuMemory{mcuType, {{{0x000000, 0x20000}, {}}}, {0x000000, 0x4000}, {}, 0x4000, {0xFFB000, 0x2000}};
    case wire::mcu::LPC2478:
      // The top 8 KB of flash hold the chip's own boot block.
      return McuMemory{mcuType, {{{0x00000000, 0x7E000}, {}}}, {0x00000000, 0x4000}, {768, 256},
                       0x4000,  {0x40000200, 0xFE00}};
    case wire::mcu::LPC4078:
      return McuMemory{mcuType, {{{0x00000000, 0x80000}, {}}}, {0x00000000, 0x4000}, {768, 256},
                       0x4000,  {0x10000200, 0xFE00}};
    case wire::mcu::LPC1768:
      return McuMemory{mcuType, {{{0x00000000, 0x80000}, {}}}, {0x00000000, 0x4000}, {768, 256},
                       0x4000,  {0x2007C000, 0x8000}};
    case wire::mcu::LPC4337:
    case wire::mcu::LPC4357:
      return McuMemory{mcuType,
                       {{{0x1A000000, 0x80000}, {0x1B000000, 0x80000}}},
                       {0x1A000000, 0x4000},
                       {0x1A000400, 512},
                       0x1A004000,
                       {0x20000000, 0x10000}};
    default: return std::nullopt;
  }
}

}  // namespace kl
