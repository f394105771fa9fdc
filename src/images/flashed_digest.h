// The checksum and CRC a unit reports once an image has been written into its erased flash.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "images/software_digest.h"

namespace kl {

// Nothing for an MCU type without a memory map.
std::optional<SoftwareDigest> DigestAsFlashed(std::span<const uint8_t> image, uint8_t mcuType);

}  // namespace kl
