#include "images/catalogue.h"

#include "images/bundle.h"

namespace kl {

ImageRef BundleImage(size_t entry) {
  const BundleView bundle = EmbeddedBundle();
  const BundleEntry& e = bundle.entries[entry];
  return ImageRef{bundle.bytes + e.offset, e.length};
}

ExpectedSoftwareDigest ExpectedDigest(const catalogue::SoftwareRow& software) {
  const BundleEntry& e = EmbeddedBundle().entries[catalogue::EntryOf(software)];
  return ExpectedSoftwareDigest{e.checksum, e.hasCrc, e.crc};
}

}  // namespace kl
