// What the release the program carries must leave on a unit, as the judge knows it: the
// bundle file of each family's software and boot loader, and the files each card keeps on its
// flash drive. Written from what the units hold after a good update, not taken from the
// program's catalogue, so that a wrong row there shows as a unit left wrong. The bytes come
// from the bundle folder the simulator reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kl::campaign {

struct CarriedFile {
  uint16_t number = 0;     // on drive 1
  std::string bundleName;  // file-<group>-<number>.bin
};

struct CardFiles {
  std::vector<CarriedFile> drive;           // each a file of its own on drive 1
  std::vector<CarriedFile> resourceInputs;  // card 653: its image and fonts, in one resource file B1:0
};

// Nothing for a card that keeps no files.
std::optional<CardFiles> CarriedFilesOf(uint16_t card, uint8_t mcuType);
// Empty when the release has none for the unit.
std::string CarriedSoftwareName(uint8_t unitFamily, uint8_t mcuType);
std::string CarriedBootLoaderName(uint8_t mcuType, uint8_t unitFamily);
// A bundle file's bytes; empty when it cannot be read.
std::vector<uint8_t> BundleBytes(const std::string& name);

}  // namespace kl::campaign
