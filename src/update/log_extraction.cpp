#include "update/log_extraction.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/fatal_error.h"
#include "driver/program_folders.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/unit_control.h"
#include "transfer/remote_file_access.h"
#include "transfer/transfer_link.h"
#include "transport/transfer_report.h"
#include "update/network_table.h"
#include "update/session.h"

namespace kl {

namespace {

constexpr uint8_t kLogDrive = 1;
constexpr uint16_t kConfigurationLog = 0x0131;
constexpr uint16_t kCrashLog = 0x010F;
constexpr uint32_t kBlockSize = 128;
constexpr uint8_t kNoMoreData = 0xFF;
// Larger than any log a unit keeps: a unit that never ends a file must not hold the run.
constexpr uint32_t kMaxLogSize = 1024 * 1024;

// A log copied to the PC. One an earlier run copied keeps its name: the new copy takes the
// first free "NAME (2).txt", "NAME (3).txt", ...
struct LocalLog {
  std::unique_ptr<File> file;
  std::string path;
  std::vector<std::string> earlier;  // copies of the same log already there
};

LocalLog CreateLocalFile(Session& s, const std::string& name) {
  FileSystem& files = s.platform.files;
  const std::string folder = ProgramFolder(s, "BalvantaLogFiles");
  if (!files.isWritableDirectory(folder)) FatalError(s, "Unable to create: " + folder);
  const size_t dot = name.rfind('.');
  const std::string stem = folder + files.separator() + name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  LocalLog log;
  log.path = stem + extension;
  for (int copy = 2; files.exists(log.path); ++copy) {
    log.earlier.push_back(log.path);
    log.path = stem + " (" + decimalText(copy) + ")" + extension;
  }
  s.out(Channel::Always) << "Saving to \"" << log.path << "\"" << crlf;
  log.file = files.create(log.path);
  if (!log.file) FatalError(s, "Unable to create: " + log.path);
  return log;
}

std::optional<std::string> ReadWhole(FileSystem& files, const std::string& path) {
  std::unique_ptr<File> file = files.openRead(path);
  if (!file) return std::nullopt;
  std::string text;
  std::array<char, 65536> block{};
  long n;
  while ((n = file->read(block.data(), block.size())) > 0) text.append(block.data(), static_cast<size_t>(n));
  file->close();
  if (n < 0) return std::nullopt;
  return text;
}

// A new copy equal to an earlier one is not kept twice.
void FinishLocalFile(Session& s, LocalLog& log) {
  log.file->close();
  log.file.reset();
  if (log.earlier.empty()) return;
  FileSystem& files = s.platform.files;
  const std::optional<std::string> copied = ReadWhole(files, log.path);
  if (!copied) return;
  for (const std::string& earlier : log.earlier) {
    if (ReadWhole(files, earlier) != copied) continue;
    if (!files.remove(log.path)) return;
    s.out(Channel::Always) << "-- the same as \"" << earlier << "\", which is kept" << crlf;
    return;
  }
}

// One of the two single-file logs: configuration or crash.
void CopySingleLog(Session& s, const Unit& unit, uint16_t fileNumber, std::string_view checking,
                   std::string_view missing, std::string_view prefix) {
  ChannelWriter& always = s.out(Channel::Always);
  always << checking << crlf;
  const RemoteFile remote{unit.address, kLogDrive, fileNumber};
  uint8_t result = 0;
  if (!OpenFile(s, remote, false, result) || result != 0) {
    always << missing << crlf;
    return;
  }
  always << "Uploading file: " << hex(fileNumber, 4) << crlf;
  const TransferMeter meter = StartTransferMeter(s, TransferDirection::Received);
  LocalLog local = CreateLocalFile(s, std::string(prefix) + UnitLabel(unit) + ".txt");
  UploadRemoteFile(s, unit.address, fileNumber, *local.file);
  FinishLocalFile(s, local);
  CloseFile(s, remote, result);
  WriteTransferSummary(s, meter);
}

void CopyDebugLogs(Session& s, Unit& unit) {
  ChannelWriter& always = s.out(Channel::Always);
  always << "Checking for debug logs..." << crlf;
  std::vector<uint16_t> fileNumbers;
  if (!GetDebugLogs(s, unit, fileNumbers)) return;
  if (fileNumbers.empty()) {
    always << "-- no debug log found" << crlf;
    EndProgress(s);
    return;
  }
  always << "Uploading files: ";
  for (const uint16_t number : fileNumbers) always << " " << hex(number, 4);
  always << crlf;
  LocalLog local = CreateLocalFile(s, "DebugLog_" + UnitLabel(unit) + ".txt");
  const auto count = static_cast<uint32_t>(fileNumbers.size());
  for (uint32_t j = 0; j < count; ++j) {
    const uint16_t number = fileNumbers[j];
    s.out(Channel::Debug) << "Uploading file=" << hex(number, 4) << crlf;
    ShowProgress(s, j, count);
    const RemoteFile remote{unit.address, kLogDrive, number};
    uint8_t result = 0;
    if (!OpenFile(s, remote, false, result) || result != 0) {
      s.out(Channel::Debug) << "-- file not found" << crlf;
    } else {
      const TransferMeter meter = StartTransferMeter(s, TransferDirection::Received);
      UploadRemoteFile(s, unit.address, number, *local.file);
      CloseFile(s, remote, result);
      WriteTransferSummary(s, meter);
    }
    local.file->write("\r\n", 2);
  }
  EndProgress(s);
  FinishLocalFile(s, local);
}

}  // namespace

UploadResult UploadRemoteFile(Session& s, uint8_t address, uint16_t fileNumber, File& local) {
  QuietStream quiet(s);
  const RemoteFile remote{address, kLogDrive, fileNumber};
  std::array<uint8_t, kBlockSize> block{};
  for (uint32_t offset = 0;;) {
    if (offset >= kMaxLogSize) {
      const std::string mark = "\r\n[CUT: the log went on past " + decimalText(kMaxLogSize) + " bytes]\r\n";
      local.write(mark.data(), mark.size());
      s.out(Channel::Always) << "-- log cut: it went on past " << kMaxLogSize << " bytes" << crlf;
      return UploadResult::Cut;
    }
    uint32_t count = kBlockSize;
    if (!ReadFileBlock(s, remote, offset, count, block.data())) {
      s.out(Channel::Debug) << "ReadFileRemote failed" << crlf;
      // What was copied stays, but must not pass for the whole log.
      const std::string mark = "\r\n[INCOMPLETE: the unit did not answer the read at offset " + decimalText(offset) + "]\r\n";
      local.write(mark.data(), mark.size());
      s.out(Channel::Always) << "-- log incomplete: the unit did not answer the read at offset " << offset << crlf;
      return UploadResult::ReadFailed;
    }
    if (count == 0 || count == kNoMoreData) return UploadResult::Complete;
    // Unused space at the end of a block holds zeros; zeros inside it are data.
    const auto last = std::find_if(block.rbegin() + static_cast<long>(kBlockSize - count), block.rend(),
                                   [](uint8_t b) { return b != 0; });
    const auto keep = static_cast<size_t>(block.rend() - last);
    if (keep > 0 && !local.write(block.data(), keep)) {
      s.out(Channel::Debug) << "OSWriteFile failed" << crlf;
      s.out(Channel::Always) << "-- log incomplete: it could not be written to the PC" << crlf;
      return UploadResult::WriteFailed;
    }
    offset += count;
  }
}

void ExtractLogFilesFromUnit(Session& s, Unit& unit) {
  s.out(Channel::Debug) << "ExtractLogFilesFromUnit=" << unit.address << crlf;
  if (!ReadUnitInfo(s, unit)) {
    s.out(Channel::Always) << "-- Balvanta Unit " << unit.address << " does not answer: its logs are not copied"
                           << crlf;
    return;
  }
  ReadExtendedInfo(s, unit);
  ReadAdvancedInfo(s, unit);
  PrintUnitInfo(s, unit, false);
  if (!KeepsLogs(unit)) return;
  // The logs are named by the unit's serial number: copied under another they would pass for
  // a different unit's.
  if (!unit.serialNumberRead) {
    s.out(Channel::Always) << "-- the unit did not report its serial number: its logs are not copied" << crlf;
    return;
  }
  CopySingleLog(s, unit, kConfigurationLog, "Checking for configuration log...", "-- no configuration log found",
                "ConfigurationLog_");
  CopySingleLog(s, unit, kCrashLog, "Checking for crash log...", "-- no crash log found", "CrashLog_");
  CopyDebugLogs(s, unit);
}

void ExtractLogsFromAllUnits(Session& s, Unit& unit) {
  if (!ListsRemoteUnits(unit)) return;
  std::vector<uint8_t> listed;
  if (!ListRemoteUnits(s, listed)) return;

  const uint32_t savedBaud = s.portSettings.baudRate;
  SetUnitBaudRateOrStop(s, unit, s.portSettings.programmingBaud);
  // Left at the programming speed, the display is found by the next run only after a power cycle.
  BeforeEndGuard speed(s, [&s, &unit, savedBaud] { SetUnitBaudRate(s, unit, savedBaud); });
  const std::vector<uint8_t> extraction = ListNetworkUnits(s, unit, listed, NetworkListing::LogExtraction);
  ChannelWriter& always = s.out(Channel::Always);
  always << crlf;

  for (const uint8_t address : extraction) {
    Unit target = NetworkUnitAt(address);
    ExtractLogFilesFromUnit(s, target);
    always << crlf;
  }
  speed.disarm();
  SetUnitBaudRateOrStop(s, unit, savedBaud);
}

}  // namespace kl
