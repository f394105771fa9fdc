// How long bytes take on a line: start bit, 8 data bits, 2 stop bits at the line's speed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "sim/line_device.h"
#include "wire/frame.h"

namespace kl::sim {

inline uint64_t byteTimeUs(uint32_t baud) {
  if (baud == 0) return 1000;
  return (static_cast<uint64_t>(wire::kBitsPerByte) * 1000000 + baud - 1) / baud;
}
inline uint64_t byteTimeUs(const LineFormat& format) { return byteTimeUs(format.baud); }

// The speeds a unit's application port and a proxy port can be switched to.
inline bool isUnitTableSpeed(uint32_t baud) {
  switch (baud) {
    case 9600: case 19200: case 38400: case 57600: case 115200:
    case 128000: case 230400: case 460800: case 921600:
      return true;
    default:
      return false;
  }
}

// The speed a boot loader or flash programmer is switched to by table index (1-based): the
// unit table, or the extended one of boot loaders before release 15.
inline std::optional<uint32_t> programmerSpeed(uint8_t index, bool extendedTable) {
  constexpr std::array<uint32_t, 8> unit{9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
  constexpr std::array<uint32_t, 9> extended{9600, 19200, 38400, 57600, 115200, 128000, 230400, 460800, 921600};
  if (index == 0) return std::nullopt;
  if (extendedTable) return index <= extended.size() ? std::optional<uint32_t>(extended[index - 1u]) : std::nullopt;
  return index <= unit.size() ? std::optional<uint32_t>(unit[index - 1u]) : std::nullopt;
}

}  // namespace kl::sim
