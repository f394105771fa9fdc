#include "sim/unit/file_service.h"

#include <algorithm>

#include "sim/storage/aa_records.h"
#include "sim/storage/file_digests.h"
#include "sim/unit/unit.h"
#include "wire/commands.h"
#include "wire/frame.h"

namespace kl::sim {

namespace {

// Results of the file calls.
constexpr uint8_t kOk = 0;
constexpr uint8_t kNoSuchFile = 1;
constexpr uint8_t kNoSuchDrive = 2;
constexpr uint8_t kNotOpen = 3;
constexpr uint8_t kWriteFailed = 5;
constexpr uint8_t kBadProperties = 6;
constexpr uint8_t kReadFailed = 0xFF;  // in place of a read's count

constexpr uint8_t kReadRequest = '0';
constexpr uint8_t kReadData = '1';
constexpr uint8_t kWriteData = '2';
constexpr uint8_t kAcknowledged = '3';
constexpr uint8_t kResend = '4';
constexpr uint8_t kExtendedMark = 0x04;
constexpr size_t kBlock = 128;

bool listed(const std::vector<int>& numbers, int n) { return std::find(numbers.begin(), numbers.end(), n) != numbers.end(); }

}  // namespace

bool FileService::isFileRequest(std::span<const uint8_t> p) {
  if (p.size() < 2) return false;
  if (p[1] == wire::kFunctionWindowed || p[1] == wire::kFunctionWindowedAck) return true;
  if (p[1] != wire::kFunctionCall || p.size() < 4) return false;
  switch (readU16(p, 2)) {
    case wire::cmd::OpenFile:
    case wire::cmd::ReadFileBlock:
    case wire::cmd::CreateFile:
    case wire::cmd::SetFileProperties:
    case wire::cmd::CloseFile:
    case wire::cmd::GetFileAttributes:
      return true;
    default:
      return false;
  }
}

std::optional<size_t> FileService::requestLength(std::span<const uint8_t> p) {
  if (!isFileRequest(p)) return std::nullopt;
  if (p[1] == wire::kFunctionWindowed) {
    if (p.size() > 2 && p[2] == kReadRequest) return 11;
    if (p.size() > 10 && p[2] == kWriteData) return 11 + p[10];
    return std::nullopt;
  }
  if (p[1] == wire::kFunctionWindowedAck) {
    if (p.size() > 11 && (p[2] & 0x0F) == kExtendedMark && p[3] == kWriteData) return 12 + p[11];
    return std::nullopt;
  }
  switch (readU16(p, 2)) {
    case wire::cmd::ReadFileBlock: return 12;
    case wire::cmd::GetFileAttributes: return 11;
    case wire::cmd::SetFileProperties: return p.size() > 7 ? std::optional<size_t>(8 + p[7]) : std::nullopt;
    default: return 7;
  }
}

void FileService::onFrame(const Frame& frame) {
  const auto& p = frame.payload;
  if (p.size() != requestLength(p)) return;
  if (p[1] == wire::kFunctionCall) {
    plainCall(frame);
  } else if (p[1] == wire::kFunctionWindowed) {
    if (p[2] == kReadRequest) {
      windowedRead(frame);
    } else {
      windowedWrite(frame, 3);
    }
  } else if (extendedWrites_) {
    windowedWrite(frame, 4);
  }
}

void FileService::plainCall(const Frame& frame) {
  const auto& p = frame.payload;
  FlashDrives& drives = unit_.state().drives;
  const uint8_t drive = p[4];
  const uint16_t file = readU16(p, 5);
  std::vector<uint8_t> out(p.begin(), p.begin() + 7);
  const DriveFile* found = drives.find(drive, file);
  const uint8_t missing = drives.hasDrive(drive) ? kNoSuchFile : kNoSuchDrive;
  switch (frame.command()) {
    case wire::cmd::OpenFile:
      open_ = found != nullptr;
      writing_ = false;
      drive_ = drive;
      file_ = file;
      out.push_back(found ? kOk : missing);
      break;
    case wire::cmd::CreateFile:
      open_ = writing_ = drives.create(drive, file) != nullptr;
      drive_ = drive;
      file_ = file;
      nextOffset_ = lastBlockOffset_ = 0;
      out.push_back(open_ ? kOk : kNoSuchDrive);
      break;
    case wire::cmd::ReadFileBlock: {
      const uint32_t offset = readU32(p, 7);
      const size_t size = found ? found->bytes.size() : 0;
      size_t count = offset < size ? std::min<size_t>({p[11], kBlock, size - offset}) : 0;
      const bool fails = listed(unit_.settings().faults.fileReadFailure, ++unit_.fileCounts().reads);
      out.insert(out.end(), p.begin() + 7, p.begin() + 11);
      out.push_back(fails ? kReadFailed : static_cast<uint8_t>(count));
      if (!fails && count > 0) out.insert(out.end(), found->bytes.begin() + offset, found->bytes.begin() + offset + count);
      break;
    }
    case wire::cmd::SetFileProperties: {
      DriveFile* target = drives.find(drive, file);
      const auto merged = target ? mergeAaList(target->properties, std::span<const uint8_t>(p).subspan(8, p[7]))
                                 : std::nullopt;
      if (merged) target->properties = *merged;
      out.push_back(!target ? missing : merged ? kOk : kBadProperties);
      break;
    }
    case wire::cmd::CloseFile:
      out.push_back(open_ && drive == drive_ && file == file_ ? kOk : kNotOpen);
      open_ = writing_ = false;
      break;
    case wire::cmd::GetFileAttributes: {
      out.push_back(found ? kOk : missing);
      putU32(out, found ? static_cast<uint32_t>(found->bytes.size()) : 0);
      const auto sums = found ? fileChecksums(found->bytes) : std::array<uint32_t, 4>{};
      for (uint32_t sum : sums) putU32(out, sum);
      const std::vector<uint8_t> none;
      const auto& properties = found ? found->properties : none;
      out.push_back(static_cast<uint8_t>(properties.size()));
      out.insert(out.end(), properties.begin(), properties.end());
      break;
    }
    default:
      return;
  }
  unit_.reply(frame, out);
}

void FileService::sendWindowed(const Frame& frame, const std::vector<uint8_t>& payload, bool acknowledgement) {
  if (listed(unit_.settings().faults.loseFileReply, ++unit_.fileCounts().replies)) return;
  if (acknowledgement) {
    unit_.acknowledge(frame, payload);
  } else {
    unit_.reply(frame, payload);
  }
}

void FileService::windowedRead(const Frame& frame) {
  const auto& p = frame.payload;
  const uint8_t drive = p[3];
  const uint16_t file = readU16(p, 4);
  const uint32_t offset = readU32(p, 6);
  const DriveFile* found = unit_.state().drives.find(drive, file);
  const size_t size = found ? found->bytes.size() : 0;
  const size_t count = offset < size ? std::min<size_t>({p[10], kBlock, size - offset}) : 0;
  const bool fails = listed(unit_.settings().faults.fileReadFailure, ++unit_.fileCounts().reads);
  // Sized up front: the reply is grown in place (an optimising GCC 12 misjudges the bounds of
  // a small vector grown by inserts).
  std::vector<uint8_t> out;
  out.reserve(12 + count);
  out.push_back(p[0]);
  if (extendedReads_) {
    for (const uint8_t byte : {wire::kFunctionWindowedAck, kExtendedMark, kReadData}) out.push_back(byte);
  } else {
    for (const uint8_t byte : {wire::kFunctionWindowed, kReadData}) out.push_back(byte);
  }
  for (size_t i = 3; i < 10; ++i) out.push_back(p[i]);
  out.push_back(fails ? kReadFailed : static_cast<uint8_t>(count));
  if (!fails) {
    for (size_t i = 0; i < count; ++i) out.push_back(found->bytes[offset + i]);
  }
  sendWindowed(frame, out, false);
}

void FileService::windowedWrite(const Frame& frame, size_t h) {
  const auto& p = frame.payload;
  const uint8_t drive = p[h];
  const uint16_t file = readU16(p, h + 1);
  const uint32_t offset = readU32(p, h + 3);
  const std::span<const uint8_t> data = std::span<const uint8_t>(p).subspan(h + 8, p[h + 7]);
  const UnitFaults& faults = unit_.settings().faults;
  const int number = ++unit_.fileCounts().writes;
  auto answer = [&](uint8_t status, uint32_t at, uint8_t result) {
    std::vector<uint8_t> out{p[0], wire::kFunctionWindowed, status, drive};
    putU16(out, file);
    putU32(out, at);
    out.push_back(0);
    out.push_back(result);
    sendWindowed(frame, out, true);
  };
  DriveFile* target = unit_.state().drives.find(drive, file);
  if (!open_ || !writing_ || drive != drive_ || file != file_ || !target) return answer(kAcknowledged, offset, kNotOpen);
  if (offset > nextOffset_ || listed(faults.nackFileWrite, number)) return answer(kResend, nextOffset_, kOk);
  if (offset < nextOffset_) return answer(kAcknowledged, lastBlockOffset_, kOk);  // sent again
  if (listed(faults.fileWriteFailure, number)) return answer(kAcknowledged, offset, kWriteFailed);
  target->bytes.insert(target->bytes.end(), data.begin(), data.end());
  if (listed(faults.fileWriteDamaged, number) && !data.empty()) {
    target->bytes[target->bytes.size() - data.size()] ^= 0x01;  // not the byte that was sent
  }
  nextOffset_ += static_cast<uint32_t>(data.size());
  lastBlockOffset_ = offset;
  answer(kAcknowledged, offset, kOk);
}

}  // namespace kl::sim
