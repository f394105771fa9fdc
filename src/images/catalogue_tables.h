// The catalogue of carried firmware: every image and flash-drive file by role, with the sizes
// of the maker's release. The bundle holds their bytes back to back in exactly this order:
// flash programmers, strings programmers, boot loaders, software images, then the drive files.
// Constant data only; the build-time bundle tool reads these tables too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "wire/image_identity.h"
#include "wire/unit_codes.h"

namespace kl::catalogue {

namespace mcu = wire::mcu;
namespace family = wire::family;

// Which units' receive buffer a programmer is built for; LARGE means above 128 bytes.
enum class BufferClass : uint8_t { Any, UpTo128, Large };
inline constexpr int32_t kLargeBufferAbove = 128;

struct FlashProgrammerRow {
  uint8_t row;  // 1-based
  uint32_t makerBytes;
  uint8_t mcuType;
  uint8_t unitFamily;  // family::Any: every family
  uint8_t generation;
  BufferClass buffer;
  std::string_view message;
  bool largePacketLine;  // "-- using large packet flash programmer" follows the message
};

struct StringsProgrammerRow {
  uint8_t row;
  uint32_t makerBytes;
  uint8_t mcuType;
  uint8_t unitFamily;
  uint8_t generation;
  std::string_view message;
};

struct BootLoaderRow {
  uint8_t row;
  uint32_t makerBytes;
  uint8_t mcuType;
  uint8_t unitFamily;
};

struct SoftwareRow {
  uint8_t row;
  uint32_t makerBytes;
  uint8_t unitFamily;
  uint8_t mcuType;
  // What a unit reports once it runs the maker's image of this release. Decisions use the
  // values of the bundle actually carried (catalogue.h), which match these only for that image.
  uint32_t makerChecksum;
  uint16_t makerCrc;
};

enum class DriveFileKind : uint8_t { Language, Image, Font, Fieldbus };

struct DriveFileRow {
  DriveFileKind kind;
  uint16_t fileNumber;
  uint32_t makerBytes;
  std::string_view group;  // the set it belongs to; names the bundle file
};

using enum BufferClass;

inline constexpr std::array<FlashProgrammerRow, 30> kFlashProgrammers{{
    {1, 6144, mcu::H8S2145, family::Any, 2, Any, "-- selected flash programmer for H8S2145 C2", false},
    {2, 6144, mcu::H8S2145, family::Any, 3, Any, "-- selected flash programmer for H8S2145 C3", false},
    {3, 34948, mcu::LPC2478, family::Any, 3, UpTo128, "-- selected flash programmer for ZA3 LPC2478 C3", false},
    {4, 34948, mcu::LPC2478, family::Any, 4, UpTo128, "-- selected flash programmer for ZA3 LPC2478 C4", false},
    {5, 33412, mcu::LPC2478, family::Any, 3, Large, "-- selected flash programmer for ZA3 LPC2478 LARGE C3", false},
    {6, 33412, mcu::LPC2478, family::Any, 4, Large, "-- selected flash programmer for ZA3 LPC2478 LARGE C4", false},
    {7, 33660, mcu::LPC4357, family::Display, 3, UpTo128, "-- selected flash programmer for ZA3 LPC4357 C3", false},
    {8, 33660, mcu::LPC4357, family::Display, 4, UpTo128, "-- selected flash programmer for ZA3 LPC4357 C4", false},
    {9, 32172, mcu::LPC4357, family::Display, 3, Large, "-- selected flash programmer for ZA3 LPC4357 LARGE C3", false},
    {10, 32172, mcu::LPC4357, family::Display, 4, Large, "-- selected flash programmer for ZA3 LPC4357 LARGE C4", false},
    {11, 40514, mcu::LPC4337, family::Display, 3, UpTo128, "-- selected flash programmer for ZA4 LPC4337 C3", false},
    {12, 40514, mcu::LPC4337, family::Display, 4, UpTo128, "-- selected flash programmer for ZA4 LPC4337 C4", false},
    {13, 38726, mcu::LPC4337, family::Display, 3, Large, "-- selected flash programmer for ZA4 LPC4337 LARGE C3", false},
    {14, 38726, mcu::LPC4337, family::Display, 4, Large, "-- selected flash programmer for ZA4 LPC4337 LARGE C4", false},
    {15, 30846, mcu::LPC1768, family::Transmitter, 3, UpTo128, "-- selected flash programmer for ZS3 LPC1768 C3", false},
    {16, 30846, mcu::LPC1768, family::Transmitter, 4, UpTo128, "-- selected flash programmer for ZS3 LPC1768 C4", false},
    {17, 29484, mcu::LPC1768, family::Transmitter, 3, Large, "-- selected flash programmer for ZS3 LPC1768 LARGE C3", true},
    {18, 29484, mcu::LPC1768, family::Transmitter, 4, Large, "-- selected flash programmer for ZS3 LPC1768 LARGE C4", true},
    {19, 31218, mcu::LPC4078, family::Any, 3, UpTo128, "-- selected flash programmer for ZS3 LPC4078 C3", false},
    {20, 31218, mcu::LPC4078, family::Any, 4, UpTo128, "-- selected flash programmer for ZS3 LPC4078 C4", false},
    {21, 29844, mcu::LPC4078, family::Any, 3, Large, "-- selected flash programmer for ZS3 LPC4078 LARGE C3", false},
    {22, 29844, mcu::LPC4078, family::Any, 4, Large, "-- selected flash programmer for ZS3 LPC4078 LARGE C4", false},
    {23, 31706, mcu::LPC4337, family::Transmitter, 3, UpTo128, "-- selected flash programmer for ZS4 LPC4337 C3", false},
    {24, 31706, mcu::LPC4337, family::Transmitter, 4, UpTo128, "-- selected flash programmer for ZS4 LPC4337 C4", false},
    // The large-buffer ZS4 programmers announce themselves like the normal ones.
    {25, 30308, mcu::LPC4337, family::Transmitter, 3, Large, "-- selected flash programmer for ZS4 LPC4337 C3", false},
    {26, 30308, mcu::LPC4337, family::Transmitter, 4, Large, "-- selected flash programmer for ZS4 LPC4337 C4", false},
    {27, 30216, mcu::LPC1768, family::RemoteIo, 3, UpTo128, "-- selected flash programmer for ZC3 LPC1768 C3", false},
    {28, 30216, mcu::LPC1768, family::RemoteIo, 4, UpTo128, "-- selected flash programmer for ZC3 LPC1768 C4", false},
    {29, 28884, mcu::LPC1768, family::RemoteIo, 3, Large, "-- selected flash programmer for ZC3 LPC1768 LARGE C3", true},
    {30, 28884, mcu::LPC1768, family::RemoteIo, 4, Large, "-- selected flash programmer for ZC3 LPC1768 LARGE C4", true},
}};

inline constexpr std::string_view kLargePacketLine = "-- using large packet flash programmer";

// Language strings for ZS5100 transmitters, chosen with the flash programmer.
inline constexpr std::array<StringsProgrammerRow, 2> kStringsProgrammers{{
    {1, 4768, mcu::H8S2145, family::Transmitter, 2, "-- selected language strings programmer for H8S2145 C2"},
    {2, 4768, mcu::H8S2145, family::Transmitter, 3, "-- selected language strings programmer for H8S2145 C3"},
}};

inline constexpr std::array<BootLoaderRow, 7> kBootLoaders{{
    {1, 13348, mcu::LPC2478, family::Any},
    {2, 15396, mcu::LPC4357, family::Display},
    {3, 14372, mcu::LPC4337, family::Display},
    {4, 12068, mcu::LPC1768, family::Transmitter},
    {5, 12580, mcu::LPC4078, family::Any},
    {6, 13860, mcu::LPC4337, family::Transmitter},
    {7, 12324, mcu::LPC1768, family::RemoteIo},
}};

inline constexpr std::array<SoftwareRow, 7> kSoftwareImages{{
    {1, 409144, family::Display, mcu::LPC2478, 0x7193221F, 0x304A},
    {2, 899744, family::Display, mcu::LPC4357, 0xDFF7C009, 0x3C08},
    {3, 988386, family::Display, mcu::LPC4337, 0x1CD6C5F0, 0x26D1},
    {4, 464994, family::Transmitter, mcu::LPC1768, 0xAA30E654, 0x5F8A},
    {5, 496250, family::Transmitter, mcu::LPC4078, 0xC1408AF7, 0xB2D1},
    {6, 693776, family::Transmitter, mcu::LPC4337, 0x20513140, 0xC139},
    {7, 183446, family::RemoteIo, mcu::LPC1768, 0x46199722, 0x687D},
}};

// What the carried images identify themselves as.
inline constexpr int16_t kCarriedSoftwareVersion = 610;
inline constexpr uint8_t kCarriedSoftwareRelease = 57;
inline constexpr uint8_t kCarriedBootLoaderGeneration = 4;
inline constexpr uint8_t kCarriedBootLoaderRelease = 24;

using enum DriveFileKind;

// Flash-drive files, grouped as the cards use them (see CardFileSet below).
inline constexpr std::array<DriveFileRow, 74> kDriveFiles{{
    // 0: card 648
    {Language, 0x01E0, 30027, "648"}, {Language, 0x01E1, 19714, "648"}, {Language, 0x01E2, 20517, "648"},
    {Language, 0x01E3, 20633, "648"}, {Language, 0x01E5, 16000, "648"}, {Language, 0x01E6, 4006, "648"},
    {Language, 0x01EA, 599, "648"},
    // 7: card 659
    {Language, 0x01E0, 29239, "659"}, {Language, 0x01E1, 19543, "659"}, {Language, 0x01E2, 20442, "659"},
    {Language, 0x01E3, 20533, "659"}, {Language, 0x01E5, 15901, "659"}, {Language, 0x01E6, 3958, "659"},
    {Language, 0x01EA, 599, "659"},
    // 14: card 647 on an LPC2478
    {Language, 0x01E0, 13065, "647-lpc2478"}, {Language, 0x01E1, 8078, "647-lpc2478"},
    {Language, 0x01E2, 7650, "647-lpc2478"}, {Language, 0x01E3, 8284, "647-lpc2478"},
    {Language, 0x01E5, 8093, "647-lpc2478"}, {Language, 0x01E6, 900, "647-lpc2478"},
    {Language, 0x01EA, 677, "647-lpc2478"},
    // 21: card 647 on other MCUs: language files, image file, fonts
    {Language, 0x01E0, 30880, "647"}, {Language, 0x01E1, 20248, "647"}, {Language, 0x01E2, 20602, "647"},
    {Language, 0x01E3, 20701, "647"}, {Language, 0x01E5, 16821, "647"}, {Language, 0x01E6, 3974, "647"},
    {Language, 0x01EA, 795, "647"},
    {Image, 0x0100, 154387, "647"},
    {Font, 0x01C0, 3583, "647"}, {Font, 0x01C1, 104853, "647"}, {Font, 0x01C2, 858, "647"},
    {Font, 0x01C3, 972, "647"}, {Font, 0x01C4, 1444, "647"}, {Font, 0x01C5, 1446, "647"},
    {Font, 0x01C6, 1557, "647"}, {Font, 0x01C7, 1638, "647"}, {Font, 0x01C8, 1690, "647"},
    {Font, 0x01C9, 1733, "647"}, {Font, 0x01CA, 2762, "647"}, {Font, 0x01CB, 3648, "647"},
    {Font, 0x01CC, 4553, "647"}, {Font, 0x01CD, 5554, "647"}, {Font, 0x01CE, 7316, "647"},
    {Font, 0x01CF, 10613, "647"},
    // 45: the fieldbus description files, shared by cards 647 and 653
    {Fieldbus, 0x01B0, 62261, "fieldbus"}, {Fieldbus, 0x01B1, 11889, "fieldbus"},
    {Fieldbus, 0x01B2, 16436, "fieldbus"}, {Fieldbus, 0x01B3, 8541, "fieldbus"},
    // 49: card 653: language files, then the resource file's inputs (image, fonts)
    {Language, 0x01E0, 30699, "653"}, {Language, 0x01E1, 20248, "653"}, {Language, 0x01E2, 20602, "653"},
    {Language, 0x01E3, 20701, "653"}, {Language, 0x01E5, 16821, "653"}, {Language, 0x01E6, 3974, "653"},
    {Language, 0x01EA, 795, "653"},
    {Image, 0x0100, 112461, "653"},
    {Font, 0x01C0, 3583, "653"}, {Font, 0x01C1, 33643, "653"}, {Font, 0x01C2, 94186, "653"},
    {Font, 0x01C3, 605, "653"}, {Font, 0x01C4, 684, "653"}, {Font, 0x01C5, 866, "653"},
    {Font, 0x01C6, 906, "653"}, {Font, 0x01C7, 1095, "653"}, {Font, 0x01C8, 1448, "653"},
    {Font, 0x01C9, 1559, "653"}, {Font, 0x01CA, 1638, "653"}, {Font, 0x01CB, 1690, "653"},
    {Font, 0x01CC, 2762, "653"}, {Font, 0x01CD, 3648, "653"}, {Font, 0x01CE, 4553, "653"},
    {Font, 0x01CF, 5554, "653"}, {Font, 0x01D0, 7316, "653"},
}};

// Every row filled in: an array longer than its rows would carry empty entries.
static_assert([] {
  for (const DriveFileRow& f : kDriveFiles)
    if (f.makerBytes == 0 || f.group.empty()) return false;
  return true;
}());

// The files one card gets, in the order they are written. Card 653 keeps its image and fonts
// in one resource file built from `resourceInputs`.
struct CardFileSet {
  std::span<const DriveFileRow> language;
  std::span<const DriveFileRow> image;
  std::span<const DriveFileRow> fonts;
  std::span<const DriveFileRow> resourceInputs;
  std::span<const DriveFileRow> fieldbus;
};

constexpr std::span<const DriveFileRow> DriveFileRange(size_t first, size_t count) {
  return std::span<const DriveFileRow>(kDriveFiles).subspan(first, count);
}

// Nothing for cards that get no files.
constexpr std::optional<CardFileSet> FilesForCard(uint16_t cardNumber, uint8_t mcuType) {
  switch (cardNumber) {
    case 648: return CardFileSet{DriveFileRange(0, 7), {}, {}, {}, {}};
    case 659: return CardFileSet{DriveFileRange(7, 7), {}, {}, {}, {}};
    case 647:
      if (mcuType == mcu::LPC2478) return CardFileSet{DriveFileRange(14, 7), {}, {}, {}, {}};
      return CardFileSet{DriveFileRange(21, 7), DriveFileRange(28, 1), DriveFileRange(29, 16), {},
                         DriveFileRange(45, 4)};
    case 653:
      return CardFileSet{DriveFileRange(49, 7), {}, {}, DriveFileRange(56, 18), DriveFileRange(45, 4)};
    default: return std::nullopt;
  }
}

// The software image for a family and MCU; nothing when the pair has none.
constexpr const SoftwareRow* FindSoftware(uint8_t unitFamily, uint8_t mcuType) {
  for (const SoftwareRow& s : kSoftwareImages)
    if (s.unitFamily == unitFamily && s.mcuType == mcuType) return &s;
  return nullptr;
}

// The boot loader for an MCU and family.
constexpr const BootLoaderRow* FindBootLoader(uint8_t mcuType, uint8_t unitFamily) {
  for (const BootLoaderRow& b : kBootLoaders)
    if (b.mcuType == mcuType && (b.unitFamily == family::Any || b.unitFamily == unitFamily)) return &b;
  return nullptr;
}

// The flash programmer for an MCU, family, generation and receive buffer size.
constexpr const FlashProgrammerRow* FindFlashProgrammer(uint8_t mcuType, uint8_t unitFamily, uint8_t generation,
                                                         int32_t bufferSize) {
  const BufferClass wanted = bufferSize > kLargeBufferAbove ? BufferClass::Large : BufferClass::UpTo128;
  for (const FlashProgrammerRow& p : kFlashProgrammers)
    if (p.mcuType == mcuType && (p.unitFamily == family::Any || p.unitFamily == unitFamily) &&
        p.generation == generation && (p.buffer == BufferClass::Any || p.buffer == wanted))
      return &p;
  return nullptr;
}

constexpr const StringsProgrammerRow* FindStringsProgrammer(uint8_t mcuType, uint8_t unitFamily,
                                                             uint8_t generation) {
  for (const StringsProgrammerRow& p : kStringsProgrammers)
    if (p.mcuType == mcuType && p.unitFamily == unitFamily && p.generation == generation) return &p;
  return nullptr;
}

// Position of each entry in the bundle.
inline constexpr size_t kFirstStringsProgrammerEntry = kFlashProgrammers.size();
inline constexpr size_t kFirstBootLoaderEntry = kFirstStringsProgrammerEntry + kStringsProgrammers.size();
inline constexpr size_t kFirstSoftwareEntry = kFirstBootLoaderEntry + kBootLoaders.size();
inline constexpr size_t kFirstDriveFileEntry = kFirstSoftwareEntry + kSoftwareImages.size();
inline constexpr size_t kBundleEntryCount = kFirstDriveFileEntry + kDriveFiles.size();

constexpr size_t EntryOf(const FlashProgrammerRow& p) { return p.row - 1u; }
constexpr size_t EntryOf(const StringsProgrammerRow& p) { return kFirstStringsProgrammerEntry + p.row - 1u; }
constexpr size_t EntryOf(const BootLoaderRow& b) { return kFirstBootLoaderEntry + b.row - 1u; }
constexpr size_t EntryOf(const SoftwareRow& s) { return kFirstSoftwareEntry + s.row - 1u; }
constexpr size_t EntryOf(const DriveFileRow& f) {
  return kFirstDriveFileEntry + static_cast<size_t>(&f - kDriveFiles.data());
}

// The entry's file in a bundle directory: flash-programmer-01.bin, strings-programmer-01.bin,
// boot-loader-01.bin, software-01.bin, file-648-01E0.bin.
inline std::string BundleFileName(size_t entry) {
  auto two = [](size_t n) { return std::string{static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10)}; };
  if (entry < kFirstStringsProgrammerEntry) return "flash-programmer-" + two(entry + 1) + ".bin";
  if (entry < kFirstBootLoaderEntry) return "strings-programmer-" + two(entry - kFirstStringsProgrammerEntry + 1) + ".bin";
  if (entry < kFirstSoftwareEntry) return "boot-loader-" + two(entry - kFirstBootLoaderEntry + 1) + ".bin";
  if (entry < kFirstDriveFileEntry) return "software-" + two(entry - kFirstSoftwareEntry + 1) + ".bin";
  const DriveFileRow& f = kDriveFiles.at(entry - kFirstDriveFileEntry);
  constexpr std::string_view digits = "0123456789ABCDEF";
  std::string number;
  for (int shift = 12; shift >= 0; shift -= 4) number.push_back(digits[(f.fileNumber >> shift) & 0xF]);
  return "file-" + std::string(f.group) + "-" + number + ".bin";
}

// The size of the maker's release for any entry.
constexpr uint32_t MakerBytes(size_t entry) {
  if (entry < kFirstStringsProgrammerEntry) return kFlashProgrammers[entry].makerBytes;
  if (entry < kFirstBootLoaderEntry) return kStringsProgrammers[entry - kFirstStringsProgrammerEntry].makerBytes;
  if (entry < kFirstSoftwareEntry) return kBootLoaders[entry - kFirstBootLoaderEntry].makerBytes;
  if (entry < kFirstDriveFileEntry) return kSoftwareImages[entry - kFirstSoftwareEntry].makerBytes;
  return kDriveFiles[entry - kFirstDriveFileEntry].makerBytes;
}

// Images are in the record format; drive files are plain bytes.
constexpr bool IsImageEntry(size_t entry) { return entry < kFirstDriveFileEntry; }

}  // namespace kl::catalogue
