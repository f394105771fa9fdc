// How long bytes take on a line: start bit, 8 data bits, 2 stop bits at the line's speed.
#pragma once

#include <cstdint>

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

}  // namespace kl::sim
