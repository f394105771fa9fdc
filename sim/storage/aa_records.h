// File properties as AA record lists: records of tag, type and value, by ascending tag. A
// unit merges the records it is sent into a file's list; a record of type 0 removes its tag.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kl::sim {

struct AaRecord {
  uint8_t tag = 0;
  uint8_t type = 0;
  std::vector<uint8_t> value;
};

// Nothing when the list is malformed: a record running past the end, a length that does not
// suit its type, tags not strictly ascending.
std::optional<std::vector<AaRecord>> parseAaList(std::span<const uint8_t> bytes);
std::vector<uint8_t> encodeAaList(const std::vector<AaRecord>& records);
// `existing` with the records of `update` merged in; nothing when `update` is malformed.
std::optional<std::vector<uint8_t>> mergeAaList(std::span<const uint8_t> existing, std::span<const uint8_t> update);
// An unsigned integer record as the program stores one (type 3, 4 or 5 by size).
AaRecord uintRecord(uint8_t tag, uint32_t value);

}  // namespace kl::sim
