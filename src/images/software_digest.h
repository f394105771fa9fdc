// How a unit computes the softwareChecksum and softwareCrc it reports for the application in
// its MCU flash. Both cover the whole application area: from the application start to the end
// of the first flash bank, then all of the second bank where the MCU has one; erased bytes
// read 0xFF, so the values depend on the flash contents only, not on how they were written.
//   softwareChecksum: sum modulo 2^32 of the area read as little-endian 32-bit words.
//   softwareCrc:      CRC-16/MODBUS (crc16.h) over the area's bytes in address order.
// The bundle generator computes the expected values this way and the program compares what a
// unit reports with them; the simulated unit computes its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "images/mcu_memory.h"
#include "wire/crc16.h"

namespace kl {

struct SoftwareDigest {
  uint32_t checksum = 0;
  uint16_t crc = wire::kCrcInitial;
  friend bool operator==(const SoftwareDigest&, const SoftwareDigest&) = default;
};

// The ranges a digest covers, in order; the second is empty on single-bank MCUs.
constexpr std::array<MemoryRange, 2> ApplicationArea(const McuMemory& memory) {
  const MemoryRange& bank = memory.flashBanks[0];
  return {MemoryRange{memory.applicationStart, bank.first + bank.size - memory.applicationStart}, memory.flashBanks[1]};
}

// Feed the area's bytes in address order, in pieces of any size.
class SoftwareDigestAccumulator {
 public:
  void add(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) {
      digest_.crc = wire::crc16Update(digest_.crc, b);
      word_ |= static_cast<uint32_t>(b) << (8 * filled_);
      if (++filled_ == 4) {
        digest_.checksum += word_;
        word_ = 0;
        filled_ = 0;
      }
    }
  }
  // Fills with erased flash.
  void addErased(size_t count) {
    constexpr std::array<uint8_t, 256> erased = [] {
      std::array<uint8_t, 256> a{};
      for (auto& b : a) b = 0xFF;
      return a;
    }();
    while (count > 0) {
      const size_t n = count < erased.size() ? count : erased.size();
      add(std::span<const uint8_t>(erased.data(), n));
      count -= n;
    }
  }
  // Areas are whole words; a trailing part word counts as if padded with 0xFF.
  SoftwareDigest result() const {
    SoftwareDigest d = digest_;
    if (filled_ != 0) {
      uint32_t w = word_;
      for (int i = filled_; i < 4; ++i) w |= 0xFFu << (8 * i);
      d.checksum += w;
    }
    return d;
  }

 private:
  SoftwareDigest digest_;
  uint32_t word_ = 0;
  int filled_ = 0;
};

}  // namespace kl
