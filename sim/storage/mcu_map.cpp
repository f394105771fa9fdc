#include "sim/storage/mcu_map.h"

#include "wire/unit_codes.h"

namespace kl::sim {

namespace {

constexpr uint32_t kKb = 1024;
// Every boot loader takes the first 16 KB of flash; the application follows it.
constexpr uint32_t kBootBlockBytes = 16 * kKb;

struct Chip {
  uint8_t mcuType;
  uint32_t flashBase;
  uint32_t bankBytes;
  uint32_t secondBankBase;  // 0: one bank
  uint32_t fieldsOffset;    // from the flash base; 0 with fieldsBytes 0: no fields
  uint32_t fieldsBytes;
  uint32_t ramBase;
  uint32_t ramBytes;
};

// The chips as their data sheets and the units' boot loaders use them.
constexpr Chip kChips[] = {
    // 128 KB of flash; its boot loader keeps no manufacturing fields.
    {wire::mcu::H8S2145, 0x000000, 128 * kKb, 0, 0, 0, 0xFFB000, 8 * kKb},
    // 512 KB less the chip's own 8 KB boot block at the top.
    {wire::mcu::LPC2478, 0x00000000, 504 * kKb, 0, 0x300, 256, 0x40000200, 64 * kKb - 0x200},
    {wire::mcu::LPC4078, 0x00000000, 512 * kKb, 0, 0x300, 256, 0x10000200, 64 * kKb - 0x200},
    {wire::mcu::LPC1768, 0x00000000, 512 * kKb, 0, 0x300, 256, 0x2007C000, 32 * kKb},
    // Two banks of 512 KB.
    {wire::mcu::LPC4337, 0x1A000000, 512 * kKb, 0x1B000000, 0x400, 512, 0x20000000, 64 * kKb},
    {wire::mcu::LPC4357, 0x1A000000, 512 * kKb, 0x1B000000, 0x400, 512, 0x20000000, 64 * kKb},
};

}  // namespace

std::optional<McuMap> McuMapOf(uint8_t mcuType) {
  for (const Chip& chip : kChips) {
    if (chip.mcuType != mcuType) continue;
    McuMap map;
    map.mcuType = mcuType;
    map.flashBanks[0] = {chip.flashBase, chip.bankBytes};
    if (chip.secondBankBase != 0) map.flashBanks[1] = {chip.secondBankBase, chip.bankBytes};
    map.bootLoader = {chip.flashBase, kBootBlockBytes};
    if (chip.fieldsBytes != 0) map.manufacturingFields = {chip.flashBase + chip.fieldsOffset, chip.fieldsBytes};
    map.applicationStart = chip.flashBase + kBootBlockBytes;
    map.programmerRam = {chip.ramBase, chip.ramBytes};
    return map;
  }
  return std::nullopt;
}

std::array<MemoryRange, 2> ApplicationArea(const McuMap& map) {
  const MemoryRange& first = map.flashBanks[0];
  return {MemoryRange{map.applicationStart, first.first + first.size - map.applicationStart}, map.flashBanks[1]};
}

}  // namespace kl::sim
