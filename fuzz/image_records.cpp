// Image bytes of any kind through ImageFormatProblem and the record walk (ImageRecordReader,
// ImageAddressSpan, the digest of the image as flashed), and through the simulator's own reader
// of images in the record format.
#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "images/flashed_digest.h"
#include "images/image_format.h"
#include "sim/storage/image_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kl;
  using namespace kl::fuzz;
  const std::span<const uint8_t> image(data, size);
  const auto problem = ImageFormatProblem(image);

  // The walk stays inside the bytes whatever they are; for a sound image it meets the header.
  ImageRecordReader reader(image);
  ImageRecord record;
  uint64_t counted = 0;
  uint64_t lowest = UINT64_MAX;
  uint64_t highest = 0;
  size_t written = 0;  // records of at least one byte
  while (reader.next(record)) {
    Require(record.data.data() >= data && record.data.data() + record.data.size() <= data + size,
            "a record's data lies inside the image");
    counted += record.data.size();
    if (!record.data.empty()) {
      lowest = std::min<uint64_t>(lowest, record.address);
      highest = std::max<uint64_t>(highest, uint64_t{record.address} + record.data.size() - 1);
      ++written;
    }
  }
  if (!problem) {
    Require(counted == reader.totalBytes(), "a sound image holds the bytes its header counts");
    const auto span = ImageAddressSpan(image);
    Require(span.has_value() == (written > 0), "an image whose records write bytes has a span");
    if (span && counted > 0) {
      Require(span->firstAddress <= lowest && span->lastAddress >= highest,
              "the span covers every byte the records write");
    }
    // The unit's digest of the image as flashed, for one MCU type the input picks.
    if ((data[0] & 0xF0) == 0) (void)DigestAsFlashed(image, data[0] & 0x07);
  }
  reader.rewind();
  (void)reader.next(record);

  if (const auto parsed = sim::parseRecordImage(image)) {
    (void)parsed->identity();
    (void)parsed->lastAddress();
  }
  return 0;
}
