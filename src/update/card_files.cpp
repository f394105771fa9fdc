#include "update/card_files.h"

#include <string_view>

#include "driver/fatal_error.h"
#include "images/catalogue.h"
#include "protocol/capabilities.h"
#include "protocol/unit_control.h"
#include "transfer/file_update.h"
#include "transfer/image_selection.h"
#include "transfer/programmer_download.h"
#include "transfer/unit_images.h"
#include "update/session.h"
#include "wire/crc16.h"

namespace kl {

namespace {

using catalogue::DriveFileKind;
using catalogue::DriveFileRow;

constexpr uint8_t kFileDrive = 1;
constexpr uint8_t kResourceDrive = 0xB1;
constexpr uint16_t kResourceUpdateFile = 0x0104;
constexpr size_t kResourceRecordOverhead = 8;  // number, size, CRC
// ZA3 displays on an LPC2478 from before 6.00 keep files the new software cannot read.
constexpr uint16_t kZa3Card = 647;
constexpr uint8_t kWholeFileSystem = 1;

struct KindTexts {
  std::string_view line;
  std::string_view failure;
};

KindTexts TextsOf(DriveFileKind kind) {
  switch (kind) {
    case DriveFileKind::Language: return {"-- language file: $", "Unable to send language file"};
    case DriveFileKind::Image: return {"-- image file: $", "Unable to send images file"};
    case DriveFileKind::Font: return {"-- font file: $", "Unable to send font file"};
    case DriveFileKind::Fieldbus: break;
  }
  return {"-- file: $", "Unable to send file"};
}

void Announce(Session& s, const DriveFileRow& row) {
  s.out(Channel::Debug) << TextsOf(row.kind).line << hex(row.fileNumber, 4) << "(" << ImageOf(row).length << ")"
                        << crlf;
}

void UpdateDriveFile(Session& s, Unit& unit, const DriveFileRow& row, bool failureEndsRun, CardFilesOutcome& outcome) {
  Announce(s, row);
  const ImageRef file = ImageOf(row);
  if (!IsFileDifferent(s, unit, kFileDrive, row.fileNumber, file.start, file.length, true)) return;
  if (!UpdateFile(s, unit, kFileDrive, row.fileNumber, file.start, file.length, true)) {
    outcome.failed = !TransferFailed(s, failureEndsRun, TextsOf(row.kind).failure);
    return;
  }
  outcome.wrote = true;
}

void UpdateResourceFile(Session& s, Unit& unit, std::span<const DriveFileRow> rows, bool useUpdateFiles,
                        bool failureEndsRun, CardFilesOutcome& outcome) {
  std::optional<std::vector<uint8_t>> resource =
      BuildResourceFile(rows, kResourceFileCapacity, [&s](const DriveFileRow& row) { Announce(s, row); });
  if (!resource) FatalError(s, "Cannot update unit resource file - too large");
  std::vector<uint8_t>& bytes = *resource;
  const auto length = static_cast<uint32_t>(bytes.size());
  if (!IsFileDifferent(s, unit, kResourceDrive, 0, bytes.data(), length, false)) return;
  bool written;
  if (useUpdateFiles) {
    // An update file carries the plain form; the unit complements it when it applies it.
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(~byte);
    written = UpdateFile(s, unit, kFileDrive, kResourceUpdateFile, bytes.data(), length, false);
  } else {
    written = UpdateFile(s, unit, kResourceDrive, 0, bytes.data(), length, false);
  }
  if (!written) {
    outcome.failed = !TransferFailed(s, failureEndsRun, "Unable to write new file");
    return;
  }
  outcome.wrote = true;
}

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

std::optional<std::vector<uint8_t>> BuildResourceFile(std::span<const DriveFileRow> rows, size_t capacity,
                                                      const std::function<void(const DriveFileRow&)>& announce) {
  std::vector<uint8_t> file;
  for (const DriveFileRow& row : rows) {
    announce(row);
    const ImageRef data = ImageOf(row);
    if (file.size() + data.length + kResourceRecordOverhead > capacity) return std::nullopt;
    PutBigEndian(file, row.fileNumber, 2);
    PutBigEndian(file, data.length, 4);
    file.insert(file.end(), data.start, data.start + data.length);
    const uint16_t crc = wire::crc16(data.start, data.length);
    file.push_back(static_cast<uint8_t>(crc & 0xFF));
    file.push_back(static_cast<uint8_t>(crc >> 8));
  }
  if (capacity - file.size() >= 2) file.insert(file.end(), 2, 0);
  for (uint8_t& byte : file) byte = static_cast<uint8_t>(~byte);
  return file;
}

bool TransferFailed(Session& s, bool endsRun, std::string_view message) {
  if (endsRun) FatalError(s, message);
  s.out(Channel::Always) << "-- " << message << crlf;
  return false;
}

CardFilesOutcome UpdateCardFiles(Session& s, Unit& unit, UnitImages& images, bool useUpdateFiles, bool failureEndsRun) {
  CardFilesOutcome outcome;
  const std::optional<catalogue::CardFileSet> files = catalogue::FilesForCard(unit.cardNumber, unit.mcuType);
  if (!files) return outcome;
  // The files are reached through the programmer: it runs unless images were written just now.
  if (!useUpdateFiles && unit.mode != modeFlashProgrammer) {
    if (!DownloadProgrammer(s, unit, images.programmer, "programmer")) {
      FatalError(s, "Unable to download flash programmer");
    }
    if (!SelectBootLoader(s, unit, images)) FatalError(s, "Unknown balvanta unit");
  }
  if (unit.cardNumber == kZa3Card && unit.mcuType == mcu::LPC2478 && !UsesNewFileSystem(unit)) {
    s.out(Channel::Always) << "Erasing files from old software version..." << crlf;
    EraseFMS(s, unit, kWholeFileSystem);
  }
  // The first file that cannot be written ends the unit's update: the others would only
  // wait for the same silence.
  for (const auto group : {files->language, files->image, files->fonts}) {
    for (const DriveFileRow& row : group) {
      if (!outcome.failed) UpdateDriveFile(s, unit, row, failureEndsRun, outcome);
    }
  }
  if (!outcome.failed && !files->resourceInputs.empty()) {
    UpdateResourceFile(s, unit, files->resourceInputs, useUpdateFiles, failureEndsRun, outcome);
  }
  for (const DriveFileRow& row : files->fieldbus) {
    if (!outcome.failed) UpdateDriveFile(s, unit, row, failureEndsRun, outcome);
  }
  return outcome;
}

}  // namespace kl
