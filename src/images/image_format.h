// The record format shared by flash programmers, strings programmers, boot loaders and
// software images (all big-endian):
//   32-bit entry address, 32-bit total of data bytes,
//   records: 32-bit load address, 16-bit count n, n data bytes,
//   0xFFFFFFFF in place of a load address ends the image.
// An image is checked before it is ever sent; a reader of a checked image cannot run past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kl {

inline constexpr uint32_t kImageTerminator = 0xFFFFFFFF;
inline constexpr size_t kImageHeaderSize = 8;
inline constexpr size_t kRecordHeaderSize = 6;
// The programmer download and the flash writer hold one record in a buffer of this size.
inline constexpr size_t kMaxRecordBytes = 16384;

struct ImageRecord {
  uint32_t address = 0;
  std::span<const uint8_t> data;
};

// Why the bytes are not a sound image; nothing when they are.
std::optional<std::string> ImageFormatProblem(std::span<const uint8_t> image);

// Walks the records of an image that passed ImageFormatProblem.
class ImageRecordReader {
 public:
  explicit ImageRecordReader(std::span<const uint8_t> image);
  uint32_t entryAddress() const { return entryAddress_; }
  uint32_t totalBytes() const { return totalBytes_; }
  // The next record; false at the terminator (or at a malformed record).
  bool next(ImageRecord& record);
  // Back to the first record.
  void rewind() { offset_ = kImageHeaderSize; }

 private:
  std::span<const uint8_t> image_;
  uint32_t entryAddress_ = 0;
  uint32_t totalBytes_ = 0;
  size_t offset_ = kImageHeaderSize;
};

// Lowest and highest byte address the records write, in whatever order they come; nothing
// for an image whose records write no bytes.
struct ImageSpan {
  uint32_t firstAddress = 0;
  uint32_t lastAddress = 0;
};
std::optional<ImageSpan> ImageAddressSpan(std::span<const uint8_t> image);

uint32_t ReadBigEndian32(const uint8_t* bytes);
uint16_t ReadBigEndian16(const uint8_t* bytes);

}  // namespace kl
