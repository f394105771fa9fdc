// A unit's MCU flash as data: the banks of its MCU's memory map, erased bytes reading 0xFF,
// erased by sector, written under the flash rule that a write may only clear bits (so a write
// over programmed bytes is refused unless it asks for what is already there). A write page may
// be marked as failing, to give the programmer a hardware failure to report.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/storage/mcu_map.h"

namespace kl::sim {

// Result codes the flash programmer reports for a write.
enum class FlashResult : uint8_t {
  Ok = 0,
  OutsideFlash = 1,
  NotErased = 2,
  WriteFailed = 3,   // the page did not take the data
  TooLong = 4,       // more than the programmer's buffer, or incomplete buffered data
};

class McuFlash {
 public:
  McuFlash() = default;
  explicit McuFlash(uint8_t mcuType);

  const std::optional<McuMap>& memory() const { return memory_; }
  bool empty() const { return banks_[0].empty(); }
  bool contains(uint32_t address, size_t count) const;

  // Reads `count` bytes; bytes outside the flash read 0xFF.
  std::vector<uint8_t> read(uint32_t address, size_t count) const;
  uint8_t at(uint32_t address) const;
  // Writes under the flash rule; nothing is changed unless the whole write succeeds.
  FlashResult write(uint32_t address, std::span<const uint8_t> bytes);
  // True when `bytes` can be written at `address` without erasing first.
  bool programmable(uint32_t address, std::span<const uint8_t> bytes) const;
  // Erases every sector that holds a byte of [first, last]; returns the number of sectors.
  int eraseRange(uint32_t first, uint32_t last);
  // The sector that holds `address`, as a range; size 0 outside the flash.
  MemoryRange sectorOf(uint32_t address) const;
  // Puts bytes in place whatever was there (a unit rewriting a block it has read first).
  void overwrite(uint32_t address, std::span<const uint8_t> bytes);

  // A page (the unit of one flash write) that fails every write from now on.
  void failPageAt(uint32_t address) { failingPages_.push_back(pageStart(address)); }
  void clearFailingPages() { failingPages_.clear(); }
  // The next write of this byte stores it with its lowest bit wrong, and answers success.
  void damageByteAt(uint32_t address) { damagedBytes_.push_back(address); }

  // The banks in address order, back to back: what a dump of the flash holds.
  std::vector<uint8_t> image() const;
  // A write that touches a failing page fails.
  bool pageFails(uint32_t address, size_t count) const;

 private:
  uint8_t* locate(uint32_t address);
  const uint8_t* locate(uint32_t address) const;
  uint32_t pageStart(uint32_t address) const;

  std::optional<McuMap> memory_;
  std::vector<uint8_t> banks_[2];
  std::vector<uint32_t> failingPages_;
  std::vector<uint32_t> damagedBytes_;
};

}  // namespace kl::sim
