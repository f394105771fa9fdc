// How each simulated chip lays out its memory, as its boot loader and flash programmer use it:
// the flash banks, the boot loader's block at the start of the first bank with the
// manufacturing fields inside it, where the application starts and the RAM a downloaded flash
// programmer runs in. Kept apart from the program's own map so that a wrong address on either
// side shows as a unit that misbehaves.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace kl::sim {

struct MemoryRange {
  uint32_t first = 0;
  uint32_t size = 0;  // 0: no such range
  constexpr uint32_t last() const { return first + size - 1; }
  constexpr bool contains(uint32_t address) const { return size != 0 && address >= first && address - first < size; }
};

struct McuMap {
  uint8_t mcuType = 0;
  std::array<MemoryRange, 2> flashBanks{};  // in address order; the second is empty on most chips
  MemoryRange bootLoader;
  MemoryRange manufacturingFields;  // empty: the chip keeps none
  uint32_t applicationStart = 0;
  MemoryRange programmerRam;
};

// Nothing for a chip the simulator does not model.
std::optional<McuMap> McuMapOf(uint8_t mcuType);

// What a unit's reported softwareChecksum and softwareCrc cover: from the application's start
// to the end of the first bank, then the whole second bank.
std::array<MemoryRange, 2> ApplicationArea(const McuMap& map);

}  // namespace kl::sim
