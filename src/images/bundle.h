// The firmware bundle built into the program: every catalogue entry's bytes back to back, and
// the manifest's expected digest of each software image. The build generates the definition
// of EmbeddedBundle from the bundle directory (tools/bundle_tool).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kl {

struct BundleEntry {
  uint32_t offset = 0;
  uint32_t length = 0;
  bool hasChecksum = false;  // software images: what a unit running it reports
  uint32_t checksum = 0;
  bool hasCrc = false;
  uint16_t crc = 0;
};

struct BundleView {
  const uint8_t* bytes = nullptr;
  uint32_t size = 0;
  std::string_view origin;  // "synthetic" or what the maker's manifest names
  std::span<const BundleEntry> entries;
};

BundleView EmbeddedBundle();

}  // namespace kl
