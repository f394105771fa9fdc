// Firmware images in the record format the program sends and stores as update files: entry
// address, total data bytes, then records (32-bit load address, 16-bit count, data) up to a
// 0xFFFFFFFF terminator, all big-endian. The simulated unit reads them itself.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "wire/image_identity.h"

namespace kl::sim {

struct ImageRecord {
  uint32_t address = 0;
  std::vector<uint8_t> data;
};

struct RecordImage {
  uint32_t entry = 0;
  std::vector<ImageRecord> records;

  // The identity block at the start of the first record, when there is one.
  std::optional<wire::ImageIdentity> identity() const;
  uint32_t firstAddress() const { return records.empty() ? 0 : records.front().address; }
  uint32_t lastAddress() const;
};

// Nothing when the bytes are not a complete image (truncated, no terminator, bytes after it).
std::optional<RecordImage> parseRecordImage(std::span<const uint8_t> bytes);

}  // namespace kl::sim
