// The manifest of a firmware bundle directory (manifest.txt):
//   kestrelink-firmware-bundle 1
//   origin <word>
//   <file> <bytes> [<checksum: 8 hex digits> <crc: 4 hex digits or ->]
// One line per catalogue entry; software images carry the checksum and CRC a unit reports
// when it runs them. Blank lines and lines starting with "#" are ignored.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace kl::tools {

struct ManifestLine {
  uint32_t bytes = 0;
  std::optional<uint32_t> checksum;
  std::optional<uint16_t> crc;
};

struct Manifest {
  std::string origin;
  std::map<std::string, ManifestLine> files;
};

// Parses the text; on failure returns nothing and sets `problem` (with the line number).
std::optional<Manifest> ParseManifest(const std::string& text, std::string& problem);
std::string FormatManifest(const Manifest& manifest, const std::string& comment);

}  // namespace kl::tools
