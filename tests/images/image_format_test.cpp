#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "images/image_format.h"

namespace kl {
namespace {

class ImageBuilder {
 public:
  ImageBuilder(uint32_t entry, uint32_t total) {
    put(entry, 4);
    put(total, 4);
  }
  ImageBuilder& record(uint32_t address, std::vector<uint8_t> data) { return recordClaiming(address, data.size(), data); }
  // A record whose count says `count` whatever the data holds.
  ImageBuilder& recordClaiming(uint32_t address, size_t count, const std::vector<uint8_t>& data) {
    put(address, 4);
    put(static_cast<uint32_t>(count), 2);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
  }
  ImageBuilder& end() {
    put(0xFFFFFFFF, 4);
    return *this;
  }
  std::vector<uint8_t> bytes;

 private:
  void put(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
};

TEST(ImageRecords, ReaderWalksTheRecordsOfASoundImage) {
  const auto image = ImageBuilder(0x10000020, 5).record(0x4000, {1, 2, 3}).record(0x5000, {9, 8}).end().bytes;
  EXPECT_EQ(ImageFormatProblem(image), std::nullopt);

  ImageRecordReader reader(image);
  EXPECT_EQ(reader.entryAddress(), 0x10000020u);
  EXPECT_EQ(reader.totalBytes(), 5u);
  ImageRecord r;
  ASSERT_TRUE(reader.next(r));
  EXPECT_EQ(r.address, 0x4000u);
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin(), r.data.end()), (std::vector<uint8_t>{1, 2, 3}));
  ASSERT_TRUE(reader.next(r));
  EXPECT_EQ(r.address, 0x5000u);
  EXPECT_EQ(r.data.size(), 2u);
  EXPECT_FALSE(reader.next(r));
  EXPECT_FALSE(reader.next(r));
  reader.rewind();
  ASSERT_TRUE(reader.next(r));
  EXPECT_EQ(r.address, 0x4000u);

  const auto span = ImageAddressSpan(image);
  ASSERT_TRUE(span);
  EXPECT_EQ(span->firstAddress, 0x4000u);
  EXPECT_EQ(span->lastAddress, 0x5001u);
}

TEST(ImageRecords, AnImageWithoutRecordsIsSoundAndEmpty) {
  const auto image = ImageBuilder(0, 0).end().bytes;
  EXPECT_EQ(ImageFormatProblem(image), std::nullopt);
  EXPECT_EQ(ImageAddressSpan(image), std::nullopt);
}

// The erase before a flash write covers the span: records out of order or of no bytes must not
// leave written bytes outside it, nor stretch it to the end of the address space.
TEST(ImageRecords, SpanCoversEveryWrittenByteInAnyOrder) {
  const auto descending = ImageBuilder(0, 24).record(0x4000, std::vector<uint8_t>(16, 1)).record(0, {1, 2, 3, 4, 5, 6, 7, 8}).end().bytes;
  const auto emptyLast = ImageBuilder(0, 2).record(0x4000, {1, 2}).record(0, {}).end().bytes;
  const auto onlyEmpty = ImageBuilder(0, 0).record(0x4000, {}).end().bytes;
  EXPECT_EQ(ImageAddressSpan(descending)->firstAddress, 0u);
  EXPECT_EQ(ImageAddressSpan(descending)->lastAddress, 0x400Fu);
  EXPECT_EQ(ImageAddressSpan(emptyLast)->firstAddress, 0x4000u);
  EXPECT_EQ(ImageAddressSpan(emptyLast)->lastAddress, 0x4001u);
  EXPECT_EQ(ImageAddressSpan(onlyEmpty), std::nullopt);
}

TEST(ImageRecords, MalformedImagesNameTheirFault) {
  struct Case {
    const char* what;
    std::vector<uint8_t> image;
    const char* reason;
  };
  const std::vector<uint8_t> data(10, 0xAA);
  auto truncated = ImageBuilder(0, 10).record(0x4000, data).end().bytes;
  truncated.resize(8 + 6 + 4);  // the record's data cut short
  auto cutHeader = ImageBuilder(0, 0).bytes;
  cutHeader.resize(5);
  auto halfTerminator = ImageBuilder(0, 2).record(0x4000, {1, 2}).bytes;
  halfTerminator.insert(halfTerminator.end(), {0xFF, 0xFF});
  const Case cases[] = {
      {"shorter than a header", cutHeader, "only 5 bytes, shorter than the image header"},
      {"record past the end", truncated, "the record at offset 8 (10 bytes) runs past the end of the image"},
      {"no terminator", ImageBuilder(0, 2).record(0x4000, {1, 2}).bytes, "no terminator: the image ends at offset 16"},
      {"half a terminator", halfTerminator, "no terminator: the image ends at offset 16"},
      {"total disagrees", ImageBuilder(0, 3).record(0x4000, {1, 2}).end().bytes,
       "the header's total of 3 bytes disagrees with the 2 bytes of the records"},
      {"record above the record buffer",
       ImageBuilder(0, 16385).record(0x4000, std::vector<uint8_t>(16385, 1)).end().bytes,
       "the record at offset 8 holds 16385 bytes, more than 16384"},
      {"record past the address space", ImageBuilder(0, 3).record(0xFFFFFFFE, {1, 2, 3}).end().bytes,
       "the record at offset 8 runs past the end of the address space"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto problem = ImageFormatProblem(c.image);
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(*problem, c.reason);
  }
}

TEST(ImageRecords, ReaderStopsAtAMalformedRecordInsteadOfReadingPastTheEnd) {
  auto image = ImageBuilder(0, 300).recordClaiming(0x4000, 300, std::vector<uint8_t>(20, 1)).bytes;
  ImageRecordReader reader(image);
  ImageRecord r;
  EXPECT_FALSE(reader.next(r));
}

}  // namespace
}  // namespace kl
