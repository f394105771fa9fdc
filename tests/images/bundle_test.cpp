#include "images/bundle.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "images/catalogue.h"
#include "images/flashed_digest.h"
#include "images/image_format.h"
#include "images/mcu_memory.h"
#include "wire/image_identity.h"

namespace kl {
namespace {

using namespace catalogue;

bool Synthetic() { return EmbeddedBundle().origin == "synthetic"; }

std::optional<wire::ImageIdentity> IdentityOf(const ImageRef& image) {
  ImageRecordReader reader(image.bytes());
  ImageRecord first;
  if (!reader.next(first)) return std::nullopt;
  return wire::DecodeIdentity(first.data);
}

TEST(EmbeddedBundle, EntriesLieBackToBackInCatalogueOrder) {
  const BundleView bundle = EmbeddedBundle();
  ASSERT_EQ(bundle.entries.size(), kBundleEntryCount);
  uint64_t offset = 0;
  for (const BundleEntry& e : bundle.entries) {
    EXPECT_EQ(e.offset, offset);
    offset += e.length;
  }
  EXPECT_EQ(offset, bundle.size);
}

TEST(EmbeddedBundle, EveryEntryHasItsOwnFileName) {
  std::set<std::string> names;
  for (size_t entry = 0; entry < kBundleEntryCount; ++entry) names.insert(BundleFileName(entry));
  EXPECT_EQ(names.size(), kBundleEntryCount);
  EXPECT_TRUE(names.count("file-653-01D0.bin") && names.count("file-647-lpc2478-01EA.bin"));
}

TEST(EmbeddedBundle, EveryImageIsSoundAndEveryEntryHasItsCatalogueSize) {
  for (size_t entry = 0; entry < kBundleEntryCount; ++entry) {
    SCOPED_TRACE(BundleFileName(entry));
    const ImageRef image = BundleImage(entry);
    ASSERT_FALSE(image.empty());
    if (IsImageEntry(entry)) {
      EXPECT_EQ(ImageFormatProblem(image.bytes()), std::nullopt);
    }
    if (Synthetic()) {
      EXPECT_EQ(image.length, MakerBytes(entry));
    }
  }
}

TEST(EmbeddedBundle, SyntheticProgrammersIdentifyTheirRoleAndFitTheirRam) {
  if (!Synthetic()) GTEST_SKIP() << "maker bundle";
  for (const FlashProgrammerRow& p : kFlashProgrammers) {
    SCOPED_TRACE(p.row);
    const ImageRef image = ImageOf(p);
    const auto id = IdentityOf(image);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->kind, wire::ImageKind::FlashProgrammer);
    EXPECT_EQ(id->mcuType, p.mcuType);
    EXPECT_EQ(id->unitFamily, p.unitFamily);
    EXPECT_EQ(id->generation, p.generation);
    EXPECT_EQ(id->large, p.buffer == BufferClass::Large);
    EXPECT_EQ(id->tableRow, p.row);
    const auto ram = MemoryOf(p.mcuType)->programmerRam;
    const auto span = ImageAddressSpan(image.bytes());
    ASSERT_TRUE(span);
    EXPECT_TRUE(ram.contains(span->firstAddress) && ram.contains(span->lastAddress));
    // The program starts after its identity block.
    EXPECT_EQ(ImageRecordReader(image.bytes()).entryAddress(), span->firstAddress + wire::kIdentityBlockSize);
  }
  for (const StringsProgrammerRow& p : kStringsProgrammers) {
    const auto id = IdentityOf(ImageOf(p));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->kind, wire::ImageKind::StringsProgrammer);
    EXPECT_EQ(id->generation, p.generation);
  }
}

TEST(EmbeddedBundle, SyntheticRecordsFitTheSmallestProgrammerBuffer) {
  if (!Synthetic()) GTEST_SKIP() << "maker bundle";
  for (size_t entry = 0; entry < kFirstDriveFileEntry; ++entry) {
    ImageRecordReader reader(BundleImage(entry).bytes());
    ImageRecord r;
    while (reader.next(r)) ASSERT_LE(r.data.size(), 128u) << BundleFileName(entry);
  }
}

TEST(EmbeddedBundle, SyntheticBootLoadersStayLowAndClearOfTheManufacturingFields) {
  if (!Synthetic()) GTEST_SKIP() << "maker bundle";
  for (const BootLoaderRow& b : kBootLoaders) {
    SCOPED_TRACE(b.row);
    const ImageRef image = ImageOf(b);
    const auto id = IdentityOf(image);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->kind, wire::ImageKind::BootLoader);
    EXPECT_EQ(id->mcuType, b.mcuType);
    EXPECT_EQ(id->generation, 4);
    EXPECT_EQ(id->bootLoaderRelease, 24);
    const auto span = ImageAddressSpan(image.bytes());
    ASSERT_TRUE(span);
    // Ending at or below 0x3FFF means the flash writer does not erase for it.
    EXPECT_EQ(span->firstAddress, MemoryOf(b.mcuType)->bootLoader.first);
    EXPECT_LE(span->lastAddress % (1u << 24), 0x3FFFu);
    const auto fields = MemoryOf(b.mcuType)->manufacturingFields;
    ImageRecordReader reader(image.bytes());
    ImageRecord r;
    while (reader.next(r)) {
      const uint32_t last = r.address + static_cast<uint32_t>(r.data.size()) - 1;
      EXPECT_TRUE(last < fields.first || r.address > fields.last()) << "record at " << r.address;
    }
  }
}

TEST(EmbeddedBundle, SyntheticSoftwareLiesInTheApplicationAreaAndMatchesItsManifestDigest) {
  if (!Synthetic()) GTEST_SKIP() << "maker bundle";
  for (const SoftwareRow& s : kSoftwareImages) {
    SCOPED_TRACE(s.row);
    const ImageRef image = ImageOf(s);
    const auto id = IdentityOf(image);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->kind, wire::ImageKind::Software);
    EXPECT_EQ(id->softwareVersion, 610);
    EXPECT_EQ(id->softwareRelease, 57);
    EXPECT_LE(id->buildIncrement, 1);
    const auto memory = *MemoryOf(s.mcuType);
    const auto area = ApplicationArea(memory);
    ImageRecordReader reader(image.bytes());
    ImageRecord r;
    while (reader.next(r)) {
      const uint32_t last = r.address + static_cast<uint32_t>(r.data.size()) - 1;
      const bool inside = (area[0].contains(r.address) && area[0].contains(last)) ||
                          (area[1].contains(r.address) && area[1].contains(last));
      ASSERT_TRUE(inside) << "record at " << r.address;
    }
    // The identity block sits where the unit looks for it: the application start.
    EXPECT_EQ(ImageAddressSpan(image.bytes())->firstAddress, memory.applicationStart);
    // The flash writer erases for an image whose end, modulo 2^24, lies above 0x4000.
    EXPECT_GT(ImageAddressSpan(image.bytes())->lastAddress % (1u << 24), 0x4000u);
    // The expected values are the manifest's, computed as a unit computes them.
    const auto digest = DigestAsFlashed(image.bytes(), s.mcuType);
    ASSERT_TRUE(digest);
    const ExpectedSoftwareDigest expected = ExpectedDigest(s);
    EXPECT_EQ(expected.checksum, digest->checksum);
    EXPECT_TRUE(expected.hasCrc);
    EXPECT_EQ(expected.crc, digest->crc);
  }
}

TEST(EmbeddedBundle, DriveFilesOfEachCardHaveTheirNumbersAndSizes) {
  const auto zs3 = FilesForCard(648, mcu::LPC1768);
  ASSERT_TRUE(zs3);
  ASSERT_EQ(zs3->language.size(), 7u);
  EXPECT_EQ(zs3->language[0].fileNumber, 0x01E0);
  EXPECT_EQ(zs3->language[6].fileNumber, 0x01EA);
  EXPECT_TRUE(zs3->fonts.empty() && zs3->fieldbus.empty());

  const auto old647 = FilesForCard(647, mcu::LPC2478);
  ASSERT_TRUE(old647);
  EXPECT_EQ(old647->language[0].makerBytes, 13065u);
  EXPECT_TRUE(old647->image.empty());

  const auto za3 = FilesForCard(647, mcu::LPC4357);
  ASSERT_TRUE(za3);
  EXPECT_EQ(za3->language[0].makerBytes, 30880u);
  ASSERT_EQ(za3->image.size(), 1u);
  EXPECT_EQ(za3->image[0].makerBytes, 154387u);
  ASSERT_EQ(za3->fonts.size(), 16u);
  EXPECT_EQ(za3->fonts.front().fileNumber, 0x01C0);
  EXPECT_EQ(za3->fonts.back().fileNumber, 0x01CF);
  EXPECT_EQ(za3->fonts[1].makerBytes, 104853u);
  ASSERT_EQ(za3->fieldbus.size(), 4u);

  const auto za4 = FilesForCard(653, mcu::LPC4337);
  ASSERT_TRUE(za4);
  EXPECT_TRUE(za4->image.empty() && za4->fonts.empty());
  ASSERT_EQ(za4->resourceInputs.size(), 18u);
  EXPECT_EQ(za4->resourceInputs[0].fileNumber, 0x0100);
  EXPECT_EQ(za4->resourceInputs[0].makerBytes, 112461u);
  EXPECT_EQ(za4->resourceInputs[17].fileNumber, 0x01D0);
  EXPECT_EQ(za4->resourceInputs[17].makerBytes, 7316u);
  // Both cards send the same fieldbus description files.
  EXPECT_EQ(za4->fieldbus.data(), za3->fieldbus.data());
  EXPECT_EQ(za4->fieldbus[0].fileNumber, 0x01B0);
  EXPECT_EQ(za4->fieldbus[0].makerBytes, 62261u);

  EXPECT_FALSE(FilesForCard(649, mcu::LPC1768));
  EXPECT_FALSE(FilesForCard(652, mcu::LPC4357));

  if (Synthetic()) {
    for (const DriveFileRow& f : za3->fonts) EXPECT_EQ(ImageOf(f).length, f.makerBytes);
  }
}

TEST(EmbeddedBundle, DigestCoversErasedFlashAndChangesWithOneByte) {
  const auto memory = *MemoryOf(mcu::LPC1768);
  SoftwareDigestAccumulator erased;
  erased.addErased(ApplicationArea(memory)[0].size);
  // A blank record-free image reads as erased flash.
  const std::vector<uint8_t> empty{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(DigestAsFlashed(empty, mcu::LPC1768), erased.result());

  std::vector<uint8_t> one{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0x40, 0x00, 0, 1, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
  const auto digest = DigestAsFlashed(one, mcu::LPC1768);
  ASSERT_TRUE(digest);
  // The word at 0x4000 changes from FFFFFFFF to FFFFFF7F.
  EXPECT_EQ(digest->checksum, erased.result().checksum - 0x80u);
  EXPECT_NE(digest->crc, erased.result().crc);
  EXPECT_FALSE(DigestAsFlashed(one, 0));
}

}  // namespace
}  // namespace kl
