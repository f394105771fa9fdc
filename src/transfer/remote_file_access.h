// File operations on a unit's flash drives over the packet link: plain exchanges for open,
// create, close, attributes, properties and single blocks, and a sliding window of up to eight
// 128-byte blocks for bulk reads and writes. One remote file is open at a time; its state is
// the session's `storage.remoteFile`.
#pragma once

#include <cstdint>

#include "Pellmar/dynamic_string.h"
#include "transfer/file_digests.h"

namespace kl {

struct TransferContext;

// A file is named by the unit's packet address, a drive number and a file number.
struct RemoteFile {
  uint8_t address = 0;
  uint8_t DriveNo = 0;
  uint16_t FileNo = 0;
};

struct FileAttributes {
  int32_t FileSize = 0;
  FileChecksumSet checksums;
  DynamicString properties;  // an `AA` record list
};

// The plain exchanges: true when a reply was accepted; `result` is the unit's result byte.
bool OpenFile(TransferContext& s, const RemoteFile& f, bool extendedWrite, uint8_t& result);
bool CreateFile(TransferContext& s, const RemoteFile& f, bool extendedWrite, uint8_t& result);
bool GetFileAttributes(TransferContext& s, const RemoteFile& f, uint32_t length, uint8_t& result,
                       FileAttributes& attributes);
// Properties of 240 bytes or more are a checked runtime error.
bool SetFileProperties(TransferContext& s, const RemoteFile& f, const DynamicString& properties);
// One block of up to 128 bytes without the window; `count` becomes the bytes delivered.
bool ReadFileBlock(TransferContext& s, const RemoteFile& f, uint32_t offset, uint32_t& count, uint8_t* buffer);

// Windowed read of up to `count` (at most 128) bytes at `offset` of a file opened with
// OpenFile; `count` becomes the bytes delivered, 0 at the end of the file. Callers read at
// increasing offsets, each the previous one plus the bytes delivered.
bool ReadFileRemote(TransferContext& s, const RemoteFile& f, uint32_t offset, uint32_t& count, uint8_t* buffer);
// Queues one block of 1 to 128 bytes of a file opened with CreateFile.
bool WriteFileRemote(TransferContext& s, const RemoteFile& f, uint32_t offset, uint32_t count, const uint8_t* data,
                     uint8_t& result);
// Waits until every queued block is acknowledged.
bool FlushFileRemote(TransferContext& s, const RemoteFile& f, uint8_t& result);
// Finishes the window (drains a read, flushes a write), then closes.
bool CloseFile(TransferContext& s, const RemoteFile& f, uint8_t& result);

}  // namespace kl
