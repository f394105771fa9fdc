#include "sim/storage/aa_records.h"

#include <algorithm>

namespace kl::sim {

namespace {

// Value length a type requires; -1: any length its header allows.
int fixedLength(uint8_t type) {
  switch (type) {
    case 0: case 1: return 0;
    case 2: case 3: case 6: return 1;
    case 4: case 7: return 2;
    case 5: case 8: case 9: return 4;
    case 10: return 8;
    default: return -1;
  }
}

}  // namespace

std::optional<std::vector<AaRecord>> parseAaList(std::span<const uint8_t> bytes) {
  std::vector<AaRecord> out;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 2) return std::nullopt;
    AaRecord r;
    r.tag = bytes[at];
    r.type = bytes[at + 1] >> 4;
    size_t length = bytes[at + 1] & 0x0F;
    at += 2;
    if (r.type >= 14) {
      if (at >= bytes.size()) return std::nullopt;
      length = length << 8 | bytes[at++];
    }
    const int fixed = fixedLength(r.type);
    if (r.type == 11 || (fixed >= 0 && length != static_cast<size_t>(fixed))) return std::nullopt;
    if (bytes.size() - at < length) return std::nullopt;
    if (!out.empty() && r.tag <= out.back().tag) return std::nullopt;
    r.value.assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + length));
    at += length;
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<uint8_t> encodeAaList(const std::vector<AaRecord>& records) {
  std::vector<uint8_t> out;
  for (const AaRecord& r : records) {
    out.push_back(r.tag);
    const size_t length = r.value.size();
    if (r.type >= 14) {
      out.push_back(static_cast<uint8_t>(r.type << 4 | (length >> 8 & 0x0F)));
      out.push_back(static_cast<uint8_t>(length));
    } else {
      out.push_back(static_cast<uint8_t>(r.type << 4 | (length & 0x0F)));
    }
    out.insert(out.end(), r.value.begin(), r.value.end());
  }
  return out;
}

std::optional<std::vector<uint8_t>> mergeAaList(std::span<const uint8_t> existing, std::span<const uint8_t> update) {
  const auto changes = parseAaList(update);
  if (!changes) return std::nullopt;
  std::vector<AaRecord> merged = parseAaList(existing).value_or(std::vector<AaRecord>{});
  for (const AaRecord& change : *changes) {
    auto at = std::find_if(merged.begin(), merged.end(), [&](const AaRecord& r) { return r.tag >= change.tag; });
    if (at != merged.end() && at->tag == change.tag) at = merged.erase(at);
    if (change.type != 0) merged.insert(at, change);
  }
  return encodeAaList(merged);
}

AaRecord uintRecord(uint8_t tag, uint32_t value) {
  AaRecord r{tag, 5, {}};
  int bytes = 4;
  if (value < 256) {
    r.type = 3;
    bytes = 1;
  } else if (value < 65536) {
    r.type = 4;
    bytes = 2;
  }
  for (int i = bytes - 1; i >= 0; --i) r.value.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return r;
}

}  // namespace kl::sim
