#include "transfer/recovery_record.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <span>
#include <string_view>

#include "Pellmar/writers.h"
#include "driver/program_folders.h"
#include "transfer/transfer_context.h"
#include "wire/crc16.h"

namespace kl {

namespace {

constexpr std::string_view kFolder = "Recovery";
constexpr std::string_view kHeading = "Kestrelink recovery record 1";
constexpr std::string_view kCheckKey = "Check=";
// A record is a few kilobytes; anything larger is not one.
constexpr size_t kLargestRecord = 8192;

uint16_t Crc(std::string_view text) {
  return wire::crc16(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string_view PhaseName(RecoveryRecord::Phase phase) {
  return phase == RecoveryRecord::Phase::BootLoader ? "boot-loader" : "software";
}

void AddLine(std::string& text, std::string_view key, std::string_view value) {
  text.append(key).append("=").append(value).append("\r\n");
}

// The value of `key` among `lines` (key=value, CR LF).
std::optional<std::string_view> ValueOf(std::string_view lines, std::string_view key) {
  for (size_t at = 0; at < lines.size();) {
    const size_t end = std::min(lines.find("\r\n", at), lines.size());
    const std::string_view line = lines.substr(at, end - at);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
      return line.substr(key.size() + 1);
    }
    at = end + 2;
  }
  return std::nullopt;
}

template <typename T>
std::optional<T> NumberOf(std::string_view lines, std::string_view key, int base = 10) {
  const std::optional<std::string_view> value = ValueOf(lines, key);
  if (!value || value->empty()) return std::nullopt;
  T number{};
  const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), number, base);
  if (error != std::errc() || end != value->data() + value->size()) return std::nullopt;
  return number;
}

bool ReadHex(std::string_view text, std::span<uint8_t> bytes) {
  if (text.size() != 2 * bytes.size()) return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = hexDigitValue(text[2 * i]);
    const int low = hexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::string FileName(const RecoveryRecord& record) {
  // The copy's CRC in the name keeps two different copies of one unit (or two units that
  // told no serial number) apart instead of one replacing the other.
  const uint16_t copy = wire::crc16(record.area.data(), record.areaSize);
  return "Unit_" + decimalText(record.cardNumber) + "_" + decimalText(record.mcuType) + "_" +
         decimalText(record.serialNumber) + "_" + hexText(copy, 4) + ".rec";
}

std::optional<std::string> ReadSmallFile(TransferContext& s, const std::string& path) {
  std::unique_ptr<File> file = s.platform.files.openRead(path);
  if (!file) return std::nullopt;
  std::string text;
  char buffer[1024];
  for (;;) {
    const long n = file->read(buffer, sizeof buffer);
    if (n < 0 || text.size() + static_cast<size_t>(n) > kLargestRecord) {
      file->close();
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  file->close();
  return text;
}

bool SameUnit(const RecoveryRecord& r, const Unit& unit) {
  if (r.cardNumber != unit.cardNumber || r.circuitCode != unit.circuitCode || r.mcuType != unit.mcuType) return false;
  const bool unitSerial = unit.serialNumberRead && unit.serialNumber != 0;
  return !unitSerial || r.serialNumber == 0 || r.serialNumber == unit.serialNumber;
}

}  // namespace

RecoveryRecord RecordOf(TransferContext& s, const Unit& unit, RecoveryRecord::Phase phase, bool fieldsHeld) {
  RecoveryRecord record;
  record.cardNumber = unit.cardNumber;
  record.circuitCode = unit.circuitCode;
  record.mcuType = unit.mcuType;
  record.serialNumber = unit.serialNumberRead ? unit.serialNumber : 0;
  record.bootLoaderRelease = unit.bootLoaderRelease;
  record.phase = phase;
  const BackupFields& backup = s.storage.backupFields;
  record.fieldsHeld = fieldsHeld && backup.held;
  if (backup.held) {
    record.areaFirst = backup.first;
    record.areaSize = std::min(backup.size, RecoveryRecord::kAreaCapacity);
    std::copy_n(backup.buffer.begin(), record.areaSize, record.area.begin());
  }
  return record;
}

std::string RecoveryRecordText(const RecoveryRecord& r) {
  std::string text(kHeading);
  text += "\r\n";
  AddLine(text, "Card", decimalText(r.cardNumber));
  AddLine(text, "Circuit", decimalText(r.circuitCode));
  AddLine(text, "Mcu", decimalText(r.mcuType));
  AddLine(text, "SerialNo", decimalText(r.serialNumber));
  AddLine(text, "BootLoaderRelease", decimalText(r.bootLoaderRelease));
  AddLine(text, "Phase", PhaseName(r.phase));
  AddLine(text, "FieldsHeld", r.fieldsHeld ? "1" : "0");
  AddLine(text, "AreaFirst", hexText(r.areaFirst, 8));
  AddLine(text, "AreaSize", decimalText(r.areaSize));
  std::string area;
  for (uint32_t i = 0; i < r.areaSize; ++i) area += hexText(r.area[i], 2);
  AddLine(text, "Area", area);
  const uint16_t check = Crc(text);
  text.append(kCheckKey).append(hexText(check, 4)).append("\r\n");
  return text;
}

std::optional<RecoveryRecord> ParseRecoveryRecord(const std::string& text) {
  // The check covers every byte before its own line: a torn or edited record is no record.
  const size_t checkAt = text.rfind(kCheckKey);
  if (!text.starts_with(kHeading) || checkAt == std::string::npos) return std::nullopt;
  const std::string_view body(text.data(), checkAt);
  const auto check = NumberOf<uint16_t>(std::string_view(text).substr(checkAt), "Check", 16);
  if (!check || *check != Crc(body) || text.size() - checkAt != kCheckKey.size() + 4 + 2) return std::nullopt;

  RecoveryRecord r;
  const auto card = NumberOf<uint16_t>(body, "Card");
  const auto circuit = NumberOf<uint16_t>(body, "Circuit");
  const auto mcu = NumberOf<uint8_t>(body, "Mcu");
  const auto serial = NumberOf<int32_t>(body, "SerialNo");
  const auto release = NumberOf<uint8_t>(body, "BootLoaderRelease");
  const auto phase = ValueOf(body, "Phase");
  const auto held = ValueOf(body, "FieldsHeld");
  const auto first = NumberOf<uint32_t>(body, "AreaFirst", 16);
  const auto size = NumberOf<uint32_t>(body, "AreaSize");
  const auto area = ValueOf(body, "Area");
  if (!card || !circuit || !mcu || !serial || !release || !phase || !held || !first || !size || !area) {
    return std::nullopt;
  }
  if (*size > RecoveryRecord::kAreaCapacity || (*phase != "boot-loader" && *phase != "software")) return std::nullopt;
  r.cardNumber = *card;
  r.circuitCode = *circuit;
  r.mcuType = *mcu;
  r.serialNumber = *serial;
  r.bootLoaderRelease = *release;
  r.phase = *phase == "boot-loader" ? RecoveryRecord::Phase::BootLoader : RecoveryRecord::Phase::Software;
  r.fieldsHeld = *held == "1";
  r.areaFirst = *first;
  r.areaSize = *size;
  if (!ReadHex(*area, std::span(r.area.data(), r.areaSize))) return std::nullopt;
  return r;
}

std::optional<std::string> SaveRecoveryRecord(TransferContext& s, const RecoveryRecord& record) {
  FileSystem& files = s.platform.files;
  const std::string folder = ProgramFolder(s, kFolder);
  const std::string path = folder + files.separator() + FileName(record);
  const std::string temporary = path + ".new";
  const std::string text = RecoveryRecordText(record);
  // A temporary file a crash left behind (or a link planted in its place) is removed, never
  // written through.
  if (files.exists(temporary)) files.remove(temporary);
  std::unique_ptr<File> file = files.createPrivate(temporary);
  bool written = file && file->write(text.data(), text.size()) && file->sync();
  if (file && !file->close()) written = false;
  if (written && files.rename(temporary, path)) return path;
  Process& process = s.platform.process;
  s.out(Channel::Debug) << "-- recovery record not written: " << path << " ("
                        << process.errorText(process.lastError()) << ")" << crlf;
  if (file) files.remove(temporary);
  return std::nullopt;
}

void RemoveRecoveryRecord(TransferContext& s, const std::string& path) {
  if (s.platform.files.remove(path)) s.out(Channel::Debug) << "-- recovery record removed: " << path << crlf;
}

std::vector<StoredRecord> FindRecoveryRecords(TransferContext& s, const Unit& unit) {
  FileSystem& files = s.platform.files;
  const std::string folder = ProgramFolder(s, kFolder);
  std::vector<DirEntry> entries;
  std::vector<StoredRecord> found;
  if (!files.list(folder, "Unit_*.rec", entries)) return found;
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  for (const DirEntry& entry : entries) {
    if (entry.attributes & fileattr::Directory) continue;
    const std::string path = folder + files.separator() + entry.name;
    const std::optional<std::string> text = ReadSmallFile(s, path);
    const std::optional<RecoveryRecord> record = text ? ParseRecoveryRecord(*text) : std::nullopt;
    if (!record) {
      s.out(Channel::Always) << "-- recovery record " << path << " is damaged and not used" << crlf;
      continue;
    }
    if (SameUnit(*record, unit)) found.push_back({path, *record});
  }
  const bool unitSerial = unit.serialNumberRead && unit.serialNumber != 0;
  const bool ownSerial = unitSerial && std::any_of(found.begin(), found.end(), [&](const StoredRecord& r) {
                           return r.record.serialNumber == unit.serialNumber;
                         });
  if (ownSerial) {
    std::erase_if(found, [&](const StoredRecord& r) { return r.record.serialNumber != unit.serialNumber; });
  }
  return found;
}

}  // namespace kl
