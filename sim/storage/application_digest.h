// The softwareChecksum and softwareCrc a unit reports for the application in its flash: the
// sum of the application area read as little-endian 32-bit words, and the CRC-16 of its bytes
// in address order. Erased flash counts as the 0xFF it reads.
#pragma once

#include <cstdint>

#include "sim/storage/mcu_flash.h"

namespace kl::sim {

struct ApplicationDigest {
  uint32_t checksum = 0;
  uint16_t crc = 0;
};

ApplicationDigest DigestOfApplication(const McuFlash& flash);

}  // namespace kl::sim
