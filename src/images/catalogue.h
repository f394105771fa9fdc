// The catalogue's entries in the bundle built into the program.
#pragma once

#include <cstddef>
#include <cstdint>

#include "images/catalogue_tables.h"
#include "images/image_ref.h"

namespace kl {

// The bytes of catalogue entry `entry` (see catalogue::EntryOf).
ImageRef BundleImage(size_t entry);

template <typename Row>
ImageRef ImageOf(const Row& row) {
  return BundleImage(catalogue::EntryOf(row));
}

// What a unit running the carried software image reports, from the manifest of the carried
// bundle. The catalogue's maker values describe the maker's own image of the release and
// agree with these only when that image is the one carried.
struct ExpectedSoftwareDigest {
  uint32_t checksum = 0;
  bool hasCrc = false;
  uint16_t crc = 0;
};
ExpectedSoftwareDigest ExpectedDigest(const catalogue::SoftwareRow& software);

}  // namespace kl
