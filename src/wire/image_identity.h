// The identity block at the start of the first record of every carried image. A unit (the
// simulated one included) reads it from RAM or flash to tell what it is running: the flash
// programmer's MCU, family, generation and packet size; the boot loader's generation and
// release; the application's version, release and build increment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kl::wire {

enum class ImageKind : uint8_t { FlashProgrammer = 1, StringsProgrammer = 2, BootLoader = 3, Software = 4 };

struct ImageIdentity {
  ImageKind kind = ImageKind::Software;
  uint8_t mcuType = 0;
  uint8_t unitFamily = 0;         // 0: any family
  uint8_t generation = 0;         // boot loader generation served or carried: 2, 3, 4
  bool large = false;             // programmer for units whose buffer is above 128 bytes
  uint8_t bootLoaderRelease = 0;  // boot loaders
  int16_t softwareVersion = 0;    // software: version x 100
  uint8_t softwareRelease = 0;
  uint8_t buildIncrement = 0;
  uint8_t tableRow = 0;           // 1-based row of the image in its catalogue table
};

// Layout: "KLID", format 1, kind, MCU, family, generation, flags (bit 0 LARGE), boot loader
// release, software release, software version (16-bit big-endian), build increment, table
// row, then zeros up to 32 bytes.
inline constexpr size_t kIdentityBlockSize = 32;
inline constexpr std::array<uint8_t, 4> kIdentityMagic{'K', 'L', 'I', 'D'};
inline constexpr uint8_t kIdentityFormat = 1;

constexpr std::array<uint8_t, kIdentityBlockSize> EncodeIdentity(const ImageIdentity& id) {
  std::array<uint8_t, kIdentityBlockSize> b{};
  for (size_t i = 0; i < 4; ++i) b[i] = kIdentityMagic[i];
  b[4] = kIdentityFormat;
  b[5] = static_cast<uint8_t>(id.kind);
  b[6] = id.mcuType;
  b[7] = id.unitFamily;
  b[8] = id.generation;
  b[9] = id.large ? 1 : 0;
  b[10] = id.bootLoaderRelease;
  b[11] = id.softwareRelease;
  b[12] = static_cast<uint8_t>(static_cast<uint16_t>(id.softwareVersion) >> 8);
  b[13] = static_cast<uint8_t>(id.softwareVersion);
  b[14] = id.buildIncrement;
  b[15] = id.tableRow;
  return b;
}

// Reads a block; nothing when the bytes are not one.
constexpr std::optional<ImageIdentity> DecodeIdentity(std::span<const uint8_t> b) {
  if (b.size() < kIdentityBlockSize) return std::nullopt;
  for (size_t i = 0; i < 4; ++i)
    if (b[i] != kIdentityMagic[i]) return std::nullopt;
  if (b[4] != kIdentityFormat || b[5] < 1 || b[5] > 4) return std::nullopt;
  ImageIdentity id;
  id.kind = static_cast<ImageKind>(b[5]);
  id.mcuType = b[6];
  id.unitFamily = b[7];
  id.generation = b[8];
  id.large = (b[9] & 1) != 0;
  id.bootLoaderRelease = b[10];
  id.softwareRelease = b[11];
  id.softwareVersion = static_cast<int16_t>((b[12] << 8) | b[13]);
  id.buildIncrement = b[14];
  id.tableRow = b[15];
  return id;
}

}  // namespace kl::wire
