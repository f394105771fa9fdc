#include "images/image_format.h"

#include <algorithm>

#include "Pellmar/writers.h"

namespace kl {

uint32_t ReadBigEndian32(const uint8_t* b) {
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

uint16_t ReadBigEndian16(const uint8_t* b) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }

std::optional<std::string> ImageFormatProblem(std::span<const uint8_t> image) {
  if (image.size() < kImageHeaderSize)
    return "only " + decimalText(static_cast<int64_t>(image.size())) + " bytes, shorter than the image header";
  const uint32_t total = ReadBigEndian32(image.data() + 4);
  uint64_t counted = 0;
  size_t offset = kImageHeaderSize;
  while (true) {
    const std::string at = " at offset " + decimalText(static_cast<int64_t>(offset));
    if (image.size() - offset < 4) return "no terminator: the image ends" + at;
    if (ReadBigEndian32(image.data() + offset) == kImageTerminator) break;
    if (image.size() - offset < kRecordHeaderSize) return "the record" + at + " runs past the end of the image";
    const uint16_t count = ReadBigEndian16(image.data() + offset + 4);
    if (count > kMaxRecordBytes)
      return "the record" + at + " holds " + decimalText(count) + " bytes, more than " +
             decimalText(kMaxRecordBytes);
    if (image.size() - offset - kRecordHeaderSize < count)
      return "the record" + at + " (" + decimalText(count) + " bytes) runs past the end of the image";
    if (uint64_t{ReadBigEndian32(image.data() + offset)} + count > uint64_t{1} << 32)
      return "the record" + at + " runs past the end of the address space";
    counted += count;
    offset += kRecordHeaderSize + count;
  }
  if (counted != total)
    return "the header's total of " + decimalText(total) + " bytes disagrees with the " +
           decimalText(static_cast<int64_t>(counted)) + " bytes of the records";
  return std::nullopt;
}

ImageRecordReader::ImageRecordReader(std::span<const uint8_t> image) : image_(image) {
  if (image.size() >= kImageHeaderSize) {
    entryAddress_ = ReadBigEndian32(image.data());
    totalBytes_ = ReadBigEndian32(image.data() + 4);
  }
}

bool ImageRecordReader::next(ImageRecord& record) {
  if (offset_ > image_.size() || image_.size() - offset_ < kRecordHeaderSize) return false;
  const uint32_t address = ReadBigEndian32(image_.data() + offset_);
  if (address == kImageTerminator) return false;
  const uint16_t count = ReadBigEndian16(image_.data() + offset_ + 4);
  if (image_.size() - offset_ - kRecordHeaderSize < count) return false;
  record.address = address;
  record.data = image_.subspan(offset_ + kRecordHeaderSize, count);
  offset_ += kRecordHeaderSize + count;
  return true;
}

std::optional<ImageSpan> ImageAddressSpan(std::span<const uint8_t> image) {
  // Lowest to highest byte written, whatever the order of the records: the erase before the
  // write must cover them all, and a record of no bytes writes nothing.
  ImageRecordReader reader(image);
  ImageRecord record;
  std::optional<ImageSpan> span;
  while (reader.next(record)) {
    if (record.data.empty()) continue;
    const uint32_t last = record.address + static_cast<uint32_t>(record.data.size() - 1);
    if (!span) {
      span = ImageSpan{record.address, last};
    } else {
      span->firstAddress = std::min(span->firstAddress, record.address);
      span->lastAddress = std::max(span->lastAddress, last);
    }
  }
  return span;
}

}  // namespace kl
