#include "sim/storage/image_records.h"

#include <algorithm>

namespace kl::sim {

namespace {

uint32_t bigEndian(std::span<const uint8_t> bytes, size_t at, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | bytes[at + static_cast<size_t>(i)];
  return value;
}

constexpr uint32_t kTerminator = 0xFFFFFFFF;

}  // namespace

std::optional<wire::ImageIdentity> RecordImage::identity() const {
  if (records.empty()) return std::nullopt;
  return wire::DecodeIdentity(records.front().data);
}

uint32_t RecordImage::lastAddress() const {
  uint32_t last = 0;
  for (const ImageRecord& r : records) {
    if (!r.data.empty()) last = std::max(last, r.address + static_cast<uint32_t>(r.data.size()) - 1);
  }
  return last;
}

std::optional<RecordImage> parseRecordImage(std::span<const uint8_t> bytes) {
  if (bytes.size() < 12) return std::nullopt;
  RecordImage image;
  image.entry = bigEndian(bytes, 0, 4);
  size_t at = 8;
  while (true) {
    if (bytes.size() - at < 4) return std::nullopt;
    const uint32_t address = bigEndian(bytes, at, 4);
    at += 4;
    if (address == kTerminator) break;
    if (bytes.size() - at < 2) return std::nullopt;
    const uint32_t count = bigEndian(bytes, at, 2);
    at += 2;
    if (bytes.size() - at < count) return std::nullopt;
    image.records.push_back({address, std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                                           bytes.begin() + static_cast<long>(at + count))});
    at += count;
  }
  if (at != bytes.size()) return std::nullopt;
  return image;
}

}  // namespace kl::sim
