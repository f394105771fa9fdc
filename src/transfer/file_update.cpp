#include "transfer/file_update.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/remote_call.h"
#include "transfer/aa_records.h"
#include "transfer/file_digests.h"
#include "transfer/remote_file_access.h"
#include "transfer/transfer_context.h"
#include "transfer/transfer_link.h"
#include "transport/transfer_report.h"

namespace kl {

namespace {

ChannelWriter& Debug(TransferContext& s) { return s.out(Channel::Debug); }

// "-- Balvanta file " drive ":" file.
std::string FileName(uint8_t drive, uint16_t file) {
  return "-- Balvanta file " + hexText(drive, 2) + ":" + hexText(file, 4);
}

uint32_t BlockLength(uint32_t offset, uint32_t length) { return std::min(kFileBlockSize, length - offset); }

// Queues the data block by block; `progressAtEnd` shows each block as done, else as begun.
bool WriteBlocks(TransferContext& s, const RemoteFile& f, const uint8_t* data, uint32_t length, bool progressAtEnd) {
  for (uint32_t offset = 0; offset < length; offset += kFileBlockSize) {
    const uint32_t count = BlockLength(offset, length);
    Debug(s) << "Writing $" << hex(offset, 8) << "(" << count << ")" << crlf;
    uint8_t result = 0;
    if (!WriteFileRemote(s, f, offset, count, data + offset, result) || result != 0) return false;
    ShowProgress(s, progressAtEnd ? offset + kFileBlockSize : offset, length);
  }
  return true;
}

// The CRC (high byte first) or the Fletcher checksum (most significant byte first) that goes
// right after the data.
std::vector<uint8_t> DigestOf(const uint8_t* data, uint32_t length, AppendKind append) {
  if (append == AppendKind::Crc) {
    const uint16_t crc = FileCrc(data, length);
    return {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
  }
  if (append == AppendKind::Checksum) {
    const uint32_t sum = FileFletcher(data, length);
    return {static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 8),
            static_cast<uint8_t>(sum)};
  }
  return {};
}

bool AppendDigest(TransferContext& s, const RemoteFile& f, uint32_t length, AppendKind append,
                  const std::vector<uint8_t>& digest) {
  if (digest.empty()) return true;
  Debug(s) << (append == AppendKind::Crc ? "Adding CRC" : "Adding Checksum") << crlf;
  uint8_t result = 0;
  return WriteFileRemote(s, f, length, static_cast<uint32_t>(digest.size()), digest.data(), result) && result == 0;
}

// The unit's size and four checksums of its stored file are those of `length` bytes with `sums`.
bool SizeAndChecksumsMatch(const FileAttributes& attributes, uint32_t length, const FileChecksumSet& sums) {
  return attributes.FileSize >= 0 && static_cast<uint32_t>(attributes.FileSize) == length &&
         attributes.checksums == sums;
}

// The frames' CRC-16 lets a rare damaged packet through on a noisy line: the unit's own
// checksums of the file it stored must be those of the bytes sent, or the write failed. A unit
// that does not answer has shown no fault: the write stands, not verified.
bool StoredAsSent(TransferContext& s, const RemoteFile& f, const uint8_t* data, uint32_t length) {
  uint8_t result = 0;
  FileAttributes attributes;
  if (!GetFileAttributes(s, f, length, result, attributes)) {
    s.out(Channel::Always) << FileName(f.DriveNo, f.FileNo)
                           << " written but not verified: the unit did not report its checksums" << crlf;
    return true;
  }
  if (result != 0) {
    Debug(s) << FileName(f.DriveNo, f.FileNo) << " has no attributes after the write (Result=" << hex(result, 2) << ")"
             << crlf;
    return false;
  }
  FileChecksumSet sums;
  FileChecksums(data, length, sums);
  if (SizeAndChecksumsMatch(attributes, length, sums)) return true;
  Debug(s) << FileName(f.DriveNo, f.FileNo) << " is not what was written" << crlf;
  return false;
}

bool Flushed(TransferContext& s, const RemoteFile& f) {
  uint8_t result = 0;
  return FlushFileRemote(s, f, result) && result == 0;
}

bool Closed(TransferContext& s, const RemoteFile& f) {
  uint8_t result = 0;
  return CloseFile(s, f, result) && result == 0;
}

bool Opened(TransferContext& s, const RemoteFile& f, bool create, bool extendedWrite) {
  uint8_t result = 0;
  const bool answered = create ? CreateFile(s, f, extendedWrite, result) : OpenFile(s, f, extendedWrite, result);
  return answered && result == 0;
}

// Reads the file back block by block; `compare` sees each block's offset and the bytes
// delivered.
template <typename Compare>
bool ReadBack(TransferContext& s, const RemoteFile& f, uint32_t length, bool showProgress, Compare compare) {
  std::array<uint8_t, kFileBlockSize> block{};
  for (uint32_t offset = 0; offset < length; offset += kFileBlockSize) {
    uint32_t count = BlockLength(offset, length);
    Debug(s) << "Verifying $" << hex(offset, 8) << "(" << count << ")" << crlf;
    if (!ReadFileBlock(s, f, offset, count, block.data())) return false;
    compare(offset, block.data(), count);
    if (showProgress) ShowProgress(s, offset + kFileBlockSize, length);
  }
  return true;
}

}  // namespace

uint8_t FileAccessAddress(TransferContext& s, const Unit& unit) {
  if (unit.mode == modeBalvantaSoftware) return unit.address;
  if (unit.mode == modeFlashProgrammer) return s.bootLoaderAddress;
  FatalError(s, "Cannot perform this operation, the unit is not in the correct mode");
}

bool IsFileDifferent(TransferContext& s, const Unit& unit, uint8_t drive, uint16_t file, const uint8_t* data,
                     uint32_t length, bool compareCrc) {
  Debug(s) << "Checking if current file is different from new file for FileNo=" << hex(file, 4)
           << " DriveNo=" << hex(drive, 2) << " Size=" << length << crlf;
  if (s.options.writeAlways) return true;
  const RemoteFile f{FileAccessAddress(s, unit), drive, file};
  uint8_t result = 0;
  FileAttributes attributes;
  if (!GetFileAttributes(s, f, length, result, attributes) || result != 0) return true;
  FileChecksumSet sums;
  FileChecksums(data, length, sums);
  if (!SizeAndChecksumsMatch(attributes, length, sums)) {
    Debug(s) << "New file attributes: FileSize=" << length << " Checksum1=" << hex(sums.Checksum1, 8)
             << " Checksum2=" << hex(sums.Checksum2, 8) << " Checksum3=" << hex(sums.Checksum3, 8)
             << " Checksum4=" << hex(sums.Checksum4, 8) << crlf;
    Debug(s) << FileName(drive, file) << " checksums are different" << crlf;
    return true;
  }
  if (compareCrc) {
    // Properties the unit garbled cannot vouch for the file: it is written again.
    const std::string fault = AaListFault(attributes.properties.view());
    if (!fault.empty()) {
      Debug(s) << FileName(drive, file) << " properties are damaged (" << fault << ")" << crlf;
      return true;
    }
    const auto stored = static_cast<uint16_t>(GetLargeIntAA(s, attributes.properties.view(), kFileCrcTag));
    Debug(s) << "Current file CRC=" << hex(stored, 4) << crlf;
    const uint16_t crc = FileCrc(data, length);
    if (crc != stored) {
      Debug(s) << "New file CRC=" << hex(crc, 4) << crlf;
      Debug(s) << FileName(drive, file) << " CRC is different" << crlf;
      return true;
    }
  }
  Debug(s) << FileName(drive, file) << " is up to date" << crlf;
  return false;
}

bool UpdateFile(TransferContext& s, const Unit& unit, uint8_t drive, uint16_t file, const uint8_t* data,
                uint32_t length, bool storeCrc) {
  const RemoteFile f{FileAccessAddress(s, unit), drive, file};
  s.out(Channel::Always) << "Updating Balvanta file ";
  Debug(s) << hex(drive, 2) << ":" << hex(file, 4) << " ";
  s.out(Channel::Always) << length << " bytes" << crlf;
  if (!Opened(s, f, true, WritesExtendedFiles(unit))) return false;

  {
    QuietStream quiet(s);
    const TransferMeter sent = StartTransferMeter(s, TransferDirection::Sent);
    if (!WriteBlocks(s, f, data, length, true) || !Flushed(s, f)) return false;
    EndProgress(s);
    WriteTransferSummary(s, sent);
    if (storeCrc) {
      const uint16_t crc = FileCrc(data, length);
      Debug(s) << crlf << "Adding CRC=" << hex(crc, 4) << crlf;
      DynamicString properties = s.text();
      PutUIntAA(properties, kFileCrcTag, crc);
      SetFileProperties(s, f, properties);
    }
  }
  if (!Closed(s, f) || !StoredAsSent(s, f, data, length)) return false;
  LogComplete(s);
  if (!Verifying(s)) return true;

  Debug(s) << "Verifying new file" << crlf;
  if (!Opened(s, f, false, WritesExtendedFiles(unit))) return false;
  const TransferMeter received = StartTransferMeter(s, TransferDirection::Received);
  {
    QuietStream quiet(s);
    const bool read = ReadBack(s, f, length, true, [&](uint32_t offset, const uint8_t* got, uint32_t count) {
      // A block the unit delivers short is as wrong as one with a differing byte.
      const uint32_t expected = BlockLength(offset, length);
      for (uint32_t i = 0; i < expected; ++i) {
        if (i >= count || got[i] != data[offset + i]) {
          FatalError(s, "Verify file failed at " + hexText(offset, 8) + hexText(i, 2));
        }
      }
    });
    if (!read) return false;
  }
  if (!Closed(s, f)) return false;
  EndProgress(s);
  WriteTransferSummary(s, received);
  LogComplete(s);
  return true;
}

bool SendFile(TransferContext& s, const Unit& unit, uint8_t drive, uint16_t file, const uint8_t* data, uint32_t length,
              AppendKind append) {
  const RemoteFile f{FileAccessAddress(s, unit), drive, file};
  Debug(s) << "Sending file " << file << " in drive " << drive << " to unit " << f.address << crlf;
  if (!Opened(s, f, true, WritesExtendedFiles(unit))) return false;

  const std::vector<uint8_t> digest = DigestOf(data, length, append);
  const TransferMeter sent = StartTransferMeter(s, TransferDirection::Sent);
  {
    QuietStream quiet(s);
    if (!WriteBlocks(s, f, data, length, false) || !AppendDigest(s, f, length, append, digest) || !Flushed(s, f)) {
      return false;
    }
  }
  EndProgress(s);
  WriteTransferSummary(s, sent);
  std::vector<uint8_t> stored(data, data + length);
  stored.insert(stored.end(), digest.begin(), digest.end());
  if (!Closed(s, f) || !StoredAsSent(s, f, stored.data(), static_cast<uint32_t>(stored.size()))) return false;
  LogComplete(s);
  if (!Verifying(s)) return true;

  s.out(Channel::Always) << "Verifying file..." << crlf;
  if (!Opened(s, f, false, WritesExtendedFiles(unit))) return false;
  const TransferMeter received = StartTransferMeter(s, TransferDirection::Received);
  {
    QuietStream quiet(s);
    const bool read = ReadBack(s, f, length, false, [&](uint32_t offset, const uint8_t* got, uint32_t count) {
      for (uint32_t i = 0; i < count; ++i) {
        if (got[i] == data[offset + i]) continue;
        s.out(Channel::Console) << "File difference at " << (offset + i) << " expected:" << hex(data[offset + i], 2)
                                << " got:" << hex(got[i], 2) << crlf;
      }
    });
    if (!read) return false;
  }
  EndProgress(s);
  if (!Closed(s, f)) return false;
  WriteTransferSummary(s, received);
  LogComplete(s);
  return true;
}

}  // namespace kl
