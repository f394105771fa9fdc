// The synthetic firmware bundle: stand-ins for the maker's images with the exact sizes and
// roles of the catalogue, in the record format, addressed for their MCU, each starting with
// an identity block. The same catalogue always gives the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_manifest.h"

namespace kl::tools {

// Bytes of catalogue entry `entry`.
std::vector<uint8_t> SyntheticEntry(size_t entry);

// Writes every entry and the manifest into `directory`; false with `problem` set on failure.
bool WriteSyntheticBundle(const std::string& directory, std::string& problem);

}  // namespace kl::tools
