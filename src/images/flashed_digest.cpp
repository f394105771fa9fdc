#include "images/flashed_digest.h"

#include <algorithm>
#include <vector>

#include "images/image_format.h"

namespace kl {

std::optional<SoftwareDigest> DigestAsFlashed(std::span<const uint8_t> image, uint8_t mcuType) {
  const auto memory = MemoryOf(mcuType);
  if (!memory) return std::nullopt;
  SoftwareDigestAccumulator digest;
  for (const MemoryRange& range : ApplicationArea(*memory)) {
    if (range.size == 0) continue;
    std::vector<uint8_t> flash(range.size, 0xFF);
    ImageRecordReader reader(image);
    ImageRecord record;
    while (reader.next(record)) {
      // The part of the record that falls inside this range.
      const uint64_t begin = std::max<uint64_t>(record.address, range.first);
      const uint64_t end = std::min<uint64_t>(uint64_t{record.address} + record.data.size(),
                                              uint64_t{range.first} + range.size);
      if (begin >= end) continue;
      std::copy_n(record.data.begin() + static_cast<ptrdiff_t>(begin - record.address), end - begin,
                  flash.begin() + static_cast<ptrdiff_t>(begin - range.first));
    }
    digest.add(flash);
  }
  return digest.result();
}

}  // namespace kl
