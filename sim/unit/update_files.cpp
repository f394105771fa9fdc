#include "sim/unit/update_files.h"

#include "sim/storage/file_digests.h"
#include "sim/storage/image_records.h"
#include "sim/storage/manufacturing_fields.h"
#include "sim/unit/flash_content.h"
#include "wire/crc16.h"

namespace kl::sim {

namespace {

uint32_t bigEndian(const std::vector<uint8_t>& b, size_t at, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v = v << 8 | b[at + static_cast<size_t>(i)];
  return v;
}

// The data of a file that ends in its Fletcher-32 checksum (most significant byte first).
std::optional<std::vector<uint8_t>> withoutFletcher(const std::vector<uint8_t>& file) {
  if (file.size() < 4) return std::nullopt;
  std::vector<uint8_t> data(file.begin(), file.end() - 4);
  if (fletcher32(data) != bigEndian(file, file.size() - 4, 4)) return std::nullopt;
  return data;
}

// The data of a file that ends in its CRC-16 (low byte first).
std::optional<std::vector<uint8_t>> withoutCrc(const std::vector<uint8_t>& file) {
  if (file.size() < 2) return std::nullopt;
  std::vector<uint8_t> data(file.begin(), file.end() - 2);
  const uint16_t crc = wire::crc16(data.data(), data.size());
  if (file[file.size() - 2] != (crc & 0xFF) || file[file.size() - 1] != (crc >> 8)) return std::nullopt;
  return data;
}

bool fitsUnit(const wire::ImageIdentity& id, wire::ImageKind kind, const UnitState& state, uint8_t family) {
  return id.kind == kind && id.mcuType == state.application.mcuType && (id.unitFamily == 0 || id.unitFamily == family);
}

// An image update: checksum, record format, meant for this unit.
std::string applyImage(UnitState& state, uint8_t family, const std::vector<uint8_t>& file, wire::ImageKind kind) {
  const auto data = withoutFletcher(file);
  if (!data) return "checksum wrong, not applied";
  const auto image = parseRecordImage(*data);
  const auto identity = image ? image->identity() : std::nullopt;
  if (!identity || !fitsUnit(*identity, kind, state, family)) return "not an image for this unit, not applied";
  return placeImage(state, *image) ? "applied" : "outside the flash, not applied";
}

bool resourceIntact(const std::vector<uint8_t>& file) {
  size_t at = 0;
  while (at + 2 <= file.size()) {
    if (bigEndian(file, at, 2) == 0) return at + 2 == file.size();
    if (file.size() - at < 6) return false;
    const size_t size = bigEndian(file, at + 2, 4);
    if (file.size() - at - 6 < size + 2) return false;
    const uint16_t crc = wire::crc16(file.data() + at + 6, size);
    if (file[at + 6 + size] != (crc & 0xFF) || file[at + 7 + size] != (crc >> 8)) return false;
    at += 8 + size;
  }
  return at == file.size();
}

}  // namespace

std::vector<uint8_t> storedResourceFile(const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& files) {
  std::vector<uint8_t> out;
  for (const auto& [number, bytes] : files) {
    out.push_back(static_cast<uint8_t>(number >> 8));
    out.push_back(static_cast<uint8_t>(number));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(bytes.size() >> shift));
    out.insert(out.end(), bytes.begin(), bytes.end());
    const uint16_t crc = wire::crc16(bytes.data(), bytes.size());
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    out.push_back(static_cast<uint8_t>(crc >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  for (auto& b : out) b = static_cast<uint8_t>(~b);
  return out;
}

std::vector<std::string> applyUpdateFiles(UnitState& state, uint8_t family) {
  FlashDrives& drives = state.drives;
  std::vector<std::string> lines;
  const uint16_t updates[] = {kFieldsUpdate, kBootLoaderUpdate, kSoftwareUpdate, kResourceUpdate};
  bool pending = false;
  for (uint16_t number : updates) pending = pending || drives.find(kUpdateDrive, number);
  if (!pending) return lines;

  const DriveFile* programmerFile = drives.find(kProgrammerDrive, 0);
  const auto programmer = programmerFile ? withoutCrc(programmerFile->bytes) : std::nullopt;
  const auto image = programmer ? parseRecordImage(*programmer) : std::nullopt;
  const auto identity = image ? image->identity() : std::nullopt;
  const ProgrammerHost host{state.application.mcuType, family, state.bootLoader.generation, state.bootLoader.bufferSize};
  if (!identity || !programmerFits(*identity, host)) {
    lines.push_back("update files waiting: no intact flash programmer for this unit on drive $C1");
    return lines;
  }
  auto name = [](uint16_t number) {
    constexpr const char* digits = "0123456789ABCDEF";
    std::string text = "update file $";
    for (int shift = 12; shift >= 0; shift -= 4) text.push_back(digits[(number >> shift) & 0xF]);
    return text + ": ";
  };
  for (uint16_t number : updates) {
    const DriveFile* file = drives.find(kUpdateDrive, number);
    if (!file) continue;
    std::string outcome;
    if (number == kFieldsUpdate) {
      ManufacturingFields fields(state.flash);
      FieldBytes bytes{};
      if (file->bytes.size() != kFieldsSize || !fieldsValid(file->bytes)) {
        outcome = "invalid fields, not applied";
      } else {
        std::copy(file->bytes.begin(), file->bytes.end(), bytes.begin());
        const bool stored = fields.store(ManufacturingFields::Copy::Main, bytes) &&
                            fields.store(ManufacturingFields::Copy::Secondary, bytes);
        outcome = stored ? "applied" : "flash failed, not applied";
      }
    } else if (number == kResourceUpdate) {
      if (!resourceIntact(file->bytes)) {
        outcome = "resource file damaged, not applied";
      } else if (!drives.hasDrive(kResourceDrive)) {
        outcome = "no resource drive, not applied";
      } else {
        DriveFile stored;
        stored.bytes = file->bytes;
        for (auto& b : stored.bytes) b = static_cast<uint8_t>(~b);
        drives.put(kResourceDrive, 0, std::move(stored));
        outcome = "applied";
      }
    } else {
      outcome = applyImage(state, family, file->bytes,
                           number == kBootLoaderUpdate ? wire::ImageKind::BootLoader : wire::ImageKind::Software);
    }
    lines.push_back(name(number) + outcome);
    drives.remove(kUpdateDrive, number);
  }
  drives.remove(kProgrammerDrive, 0);
  return lines;
}

}  // namespace kl::sim
