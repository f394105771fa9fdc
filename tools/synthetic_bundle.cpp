#include "synthetic_bundle.h"

#include <fstream>
#include <stdexcept>

#include "images/catalogue_tables.h"
#include "images/flashed_digest.h"
#include "images/image_format.h"
#include "images/mcu_memory.h"
#include "wire/image_identity.h"

namespace kl::tools {
namespace {

using namespace kl::catalogue;

// Every programmer accepts records of this size, whatever buffer its unit has.
constexpr uint32_t kRecordData = 128;

// Deterministic filler (splitmix64).
class Filler {
 public:
  explicit Filler(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
  uint8_t next() {
    if (left_ == 0) {
      uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      word_ = z ^ (z >> 31);
      left_ = 8;
    }
    --left_;
    const auto b = static_cast<uint8_t>(word_);
    word_ >>= 8;
    return b;
  }

 private:
  uint64_t state_;
  uint64_t word_ = 0;
  int left_ = 0;
};

// Record data lengths that make an image of exactly `fileBytes`.
std::vector<uint32_t> RecordLengths(uint32_t fileBytes) {
  const uint32_t overhead = kImageHeaderSize + 4;
  const uint32_t perRecord = kRecordHeaderSize + kRecordData;
  if (fileBytes < overhead + 2 * perRecord) throw std::runtime_error("image too small for the record layout");
  std::vector<uint32_t> lengths((fileBytes - overhead) / perRecord, kRecordData);
  const uint32_t rest = (fileBytes - overhead) % perRecord;
  if (rest > kRecordHeaderSize) {
    lengths.push_back(rest - kRecordHeaderSize);
  } else if (rest > 0) {
    // Too little for a record of its own: split the last full one in two.
    lengths.back() = 64;
    lengths.push_back(kRecordData + rest - kRecordHeaderSize - 64);
  }
  return lengths;
}

struct Placement {
  std::vector<MemoryRange> regions;  // where records may go, in order
  MemoryRange keepOut;               // never written
};

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> BuildImage(uint32_t fileBytes, const Placement& placement, uint32_t entryOffset,
                                const wire::ImageIdentity& identity, uint64_t seed) {
  const std::vector<uint32_t> lengths = RecordLengths(fileBytes);
  uint32_t total = 0;
  for (uint32_t n : lengths) total += n;
  const auto block = wire::EncodeIdentity(identity);
  Filler filler(seed);

  std::vector<uint8_t> image;
  image.reserve(fileBytes);
  PutBigEndian(image, placement.regions.front().first + entryOffset, 4);
  PutBigEndian(image, total, 4);
  size_t region = 0;
  uint64_t cursor = placement.regions.front().first;
  size_t written = 0;
  for (uint32_t n : lengths) {
    while (true) {
      const MemoryRange& r = placement.regions[region];
      if (cursor + n - 1 > r.last()) {
        if (++region == placement.regions.size()) throw std::runtime_error("image does not fit its memory");
        cursor = placement.regions[region].first;
        continue;
      }
      const MemoryRange& k = placement.keepOut;
      if (k.size != 0 && cursor <= k.last() && cursor + n - 1 >= k.first) {
        cursor = uint64_t{k.last()} + 1;
        continue;
      }
      break;
    }
    PutBigEndian(image, static_cast<uint32_t>(cursor), 4);
    PutBigEndian(image, n, 2);
    for (uint32_t i = 0; i < n; ++i, ++written)
      image.push_back(written < block.size() ? block[written] : filler.next());
    cursor += n;
  }
  PutBigEndian(image, kImageTerminator, 4);
  if (image.size() != fileBytes) throw std::runtime_error("record layout missed the image size");
  return image;
}

McuMemory MemoryFor(uint8_t mcuType) {
  const auto memory = MemoryOf(mcuType);
  if (!memory) throw std::runtime_error("no memory map for MCU type " + std::to_string(mcuType));
  return *memory;
}

std::vector<uint8_t> ProgrammerImage(uint32_t bytes, const wire::ImageIdentity& id, uint64_t seed) {
  const McuMemory m = MemoryFor(id.mcuType);
  // The program starts right after its identity block.
  return BuildImage(bytes, Placement{{m.programmerRam}, {}}, wire::kIdentityBlockSize, id, seed);
}

}  // namespace

std::vector<uint8_t> SyntheticEntry(size_t entry) {
  const uint64_t seed = entry + 1;
  if (entry < kFirstStringsProgrammerEntry) {
    const FlashProgrammerRow& p = kFlashProgrammers[entry];
    wire::ImageIdentity id{wire::ImageKind::FlashProgrammer, p.mcuType, p.unitFamily, p.generation,
                           p.buffer == BufferClass::Large, 0, 0, 0, 0, p.row};
    return ProgrammerImage(p.makerBytes, id, seed);
  }
  if (entry < kFirstBootLoaderEntry) {
    const StringsProgrammerRow& p = kStringsProgrammers[entry - kFirstStringsProgrammerEntry];
    wire::ImageIdentity id{wire::ImageKind::StringsProgrammer, p.mcuType, p.unitFamily, p.generation, false, 0, 0, 0, 0,
                           p.row};
    return ProgrammerImage(p.makerBytes, id, seed);
  }
  if (entry < kFirstSoftwareEntry) {
    const BootLoaderRow& b = kBootLoaders[entry - kFirstBootLoaderEntry];
    const McuMemory m = MemoryFor(b.mcuType);
    wire::ImageIdentity id{wire::ImageKind::BootLoader, b.mcuType, b.unitFamily, kCarriedBootLoaderGeneration, false,
                           kCarriedBootLoaderRelease, 0, 0, 0, b.row};
    return BuildImage(b.makerBytes, Placement{{m.bootLoader}, m.manufacturingFields}, 0, id, seed);
  }
  if (entry < kFirstDriveFileEntry) {
    const SoftwareRow& s = kSoftwareImages[entry - kFirstSoftwareEntry];
    const McuMemory m = MemoryFor(s.mcuType);
    wire::ImageIdentity id{wire::ImageKind::Software, s.mcuType, s.unitFamily, 0, false, 0,
                           kCarriedSoftwareVersion, kCarriedSoftwareRelease, 0, s.row};
    Placement placement;
    for (const MemoryRange& r : ApplicationArea(m))
      if (r.size != 0) placement.regions.push_back(r);
    auto image = BuildImage(s.makerBytes, placement, 0, id, seed);
    // The flash writer erases before writing only for images ending above 0x4000 (mod 2^24).
    if (ImageAddressSpan(image)->lastAddress % (1u << 24) <= 0x4000)
      throw std::runtime_error("software image would not be erased before writing");
    return image;
  }
  const DriveFileRow& f = kDriveFiles.at(entry - kFirstDriveFileEntry);
  Filler filler(seed);
  std::vector<uint8_t> bytes(f.makerBytes);
  for (auto& b : bytes) b = filler.next();
  return bytes;
}

bool WriteSyntheticBundle(const std::string& directory, std::string& problem) {
  Manifest manifest;
  manifest.origin = "synthetic";
  for (size_t entry = 0; entry < kBundleEntryCount; ++entry) {
    const std::string name = BundleFileName(entry);
    std::vector<uint8_t> bytes;
    try {
      bytes = SyntheticEntry(entry);
    } catch (const std::exception& e) {
      problem = name + ": " + e.what();
      return false;
    }
    ManifestLine line;
    line.bytes = static_cast<uint32_t>(bytes.size());
    if (entry >= kFirstSoftwareEntry && entry < kFirstDriveFileEntry) {
      const auto digest = DigestAsFlashed(bytes, kSoftwareImages[entry - kFirstSoftwareEntry].mcuType);
      if (!digest) {
        problem = name + ": no digest for its MCU";
        return false;
      }
      line.checksum = digest->checksum;
      line.crc = digest->crc;
    }
    manifest.files[name] = line;
    std::ofstream out(directory + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      problem = "cannot write " + directory + "/" + name;
      return false;
    }
  }
  std::ofstream out(directory + "/manifest.txt", std::ios::binary | std::ios::trunc);
  out << FormatManifest(manifest, "Synthetic stand-ins for the maker's firmware, made by the build.");
  if (!out) {
    problem = "cannot write " + directory + "/manifest.txt";
    return false;
  }
  return true;
}

}  // namespace kl::tools
