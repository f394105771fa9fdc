#include "transfer/remote_file_access.h"

#include <algorithm>
#include <string>

#include "driver/runtime_errors.h"
#include "protocol/remote_call.h"
#include "transfer/remote_file_window.h"
#include "transfer/transfer_context.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

constexpr int kAttempts = 8;
constexpr uint32_t kMaxProperties = 239;
constexpr uint8_t kHardwareFailure = 0xFF;

ChannelWriter& Debug(TransferContext& s) { return s.out(Channel::Debug); }

std::string Described(std::string_view name, const RemoteFile& f) {
  return std::string(name) + " FileNo=" + hexText(f.FileNo, 4) + " DriveNo=" + hexText(f.DriveNo, 2) + " in Unit " +
         std::to_string(f.address);
}

CallRequest FileRequest(const RemoteFile& f, uint16_t command) {
  return CallRequest{f.address, command,
                     [f](LinkContext& s) {
                       PutPacketByte(s, f.DriveNo);
                       PutPacketWord(s, f.FileNo);
                     },
                     3};
}

// Reads the echoed drive and file numbers.
bool EchoesFile(TransferContext& s, const RemoteFile& f) {
  const uint8_t drive = GetPacketByte(s);
  const uint16_t file = GetPacketWord(s);
  return drive == f.DriveNo && file == f.FileNo;
}

// The exchange of OpenFile, CreateFile and CloseFile: the file's numbers, a result byte back.
bool ResultCall(TransferContext& s, const RemoteFile& f, uint16_t command, uint8_t& result) {
  const CallRequest request = FileRequest(f, command);
  return Repeat(kAttempts, [&] {
    return CallOnce(s, request, 8, [&](LinkContext&) {
      const bool echoed = EchoesFile(s, f);
      result = GetPacketByte(s);
      return echoed;
    });
  });
}

void LogResult(TransferContext& s, uint8_t result) { Debug(s) << "COMPLETE: Result=" << hex(result, 2) << crlf; }

bool OpenForTransfer(TransferContext& s, const RemoteFile& f, bool extendedWrite, uint8_t& result, bool create) {
  Debug(s) << "-- remote file access window size = " << kFileWindowSize << crlf;
  Debug(s) << "RPC: " << Described(create ? "CreateFile" : "OpenFile", f) << crlf;
  uint8_t answer = 0;
  if (!ResultCall(s, f, create ? wire::cmd::CreateFile : wire::cmd::OpenFile, answer)) {
    LogFailed(s);
    return false;
  }
  LogResult(s, answer);
  result = answer;
  RemoteFileState& state = s.storage.remoteFile;
  EmptyWindow(state.window, !create);
  state.readOpen = !create;
  state.writeOpen = create;
  state.extendedWrite = extendedWrite;
  return true;
}

}  // namespace

void EmptyWindow(FileWindow& window, bool restartReading) {
  window.head = 0;
  window.tail = 0;
  window.inFlight = 0;
  if (restartReading) window.nextReadOffset = 0;
}

void PrepareWindowedMessage(TransferContext& s) {
  if (s.packet.replySize != 0) ClearReceivedPacket(s);
}

bool OpenFile(TransferContext& s, const RemoteFile& f, bool extendedWrite, uint8_t& result) {
  return OpenForTransfer(s, f, extendedWrite, result, false);
}

bool CreateFile(TransferContext& s, const RemoteFile& f, bool extendedWrite, uint8_t& result) {
  return OpenForTransfer(s, f, extendedWrite, result, true);
}

bool GetFileAttributes(TransferContext& s, const RemoteFile& f, uint32_t length, uint8_t& result,
                       FileAttributes& attributes) {
  CallRequest request = FileRequest(f, wire::cmd::GetFileAttributes);
  request.writeArguments = [f, length](LinkContext& session) {
    PutPacketByte(session, f.DriveNo);
    PutPacketWord(session, f.FileNo);
    PutPacketLong(session, length);
  };
  request.argumentLength = 7;
  uint8_t answer = 0;
  int32_t size = 0;
  FileChecksumSet sums;
  std::string properties;
  Debug(s) << "RPC: " << Described("GetFileAttributes", f) << crlf;
  const bool accepted = Repeat(kAttempts, [&] {
    return CallOnceInSteps(s, request, 29, [&](LinkContext&) {
      const bool echoed = EchoesFile(s, f);
      answer = GetPacketByte(s);
      size = static_cast<int32_t>(GetPacketLong(s));
      sums.Checksum1 = GetPacketLong(s);
      sums.Checksum2 = GetPacketLong(s);
      sums.Checksum3 = GetPacketLong(s);
      sums.Checksum4 = GetPacketLong(s);
      const uint8_t propertiesLength = GetPacketByte(s);
      ReceiveMore(s, propertiesLength);
      properties.clear();
      for (uint8_t i = 0; i < propertiesLength; ++i) properties.push_back(static_cast<char>(GetPacketByte(s)));
      return echoed;
    });
  });
  if (!accepted) {
    LogFailed(s);
    return false;
  }
  Debug(s) << "COMPLETE: Result=" << hex(answer, 2) << " FileSize=" << size << " Checksum1=" << hex(sums.Checksum1, 8)
           << " Checksum2=" << hex(sums.Checksum2, 8) << " Checksum3=" << hex(sums.Checksum3, 8)
           << " Checksum4=" << hex(sums.Checksum4, 8) << crlf;
  Debug(s) << "Properties Length=" << properties.size() << crlf;
  result = answer;
  attributes.FileSize = size;
  attributes.checksums = sums;
  attributes.properties = s.text(properties);
  return true;
}

bool SetFileProperties(TransferContext& s, const RemoteFile& f, const DynamicString& properties) {
  const std::string_view bytes = properties.view();
  if (bytes.size() > kMaxProperties) ReportRuntimeCheck(s, RuntimeCheck::AssertFailed, "RemoteFileAccess", __LINE__);
  const auto length = static_cast<uint8_t>(bytes.size());
  const CallRequest request{f.address, wire::cmd::SetFileProperties,
                            [f, bytes, length](LinkContext& session) {
                              PutPacketByte(session, f.DriveNo);
                              PutPacketWord(session, f.FileNo);
                              PutPacketByte(session, length);
                              for (char c : bytes) PutPacketByte(session, static_cast<uint8_t>(c));
                            },
                            4u + length};
  uint8_t result = 0;
  const bool accepted = Repeat(kAttempts, [&] {
    return CallOnce(s, request, 8, [&](LinkContext&) {
      const bool echoed = EchoesFile(s, f);
      result = GetPacketByte(s);
      return echoed;
    });
  });
  if (!accepted) {
    LogFailed(s);
    return false;
  }
  LogResult(s, result);
  return true;
}

bool ReadFileBlock(TransferContext& s, const RemoteFile& f, uint32_t offset, uint32_t& count, uint8_t* buffer) {
  const auto wanted = static_cast<uint8_t>(std::min(count, kFileBlockSize));
  const CallRequest request{f.address, wire::cmd::ReadFileBlock,
                            [f, offset, wanted](LinkContext& session) {
                              PutPacketByte(session, f.DriveNo);
                              PutPacketWord(session, f.FileNo);
                              PutPacketLong(session, offset);
                              PutPacketByte(session, wanted);
                            },
                            8};
  uint8_t delivered = 0;
  std::array<uint8_t, kFileBlockSize> data{};
  const bool accepted = Repeat(kAttempts, [&] {
    return CallOnceInSteps(s, request, 12, [&](LinkContext&) {
      const bool echoed = EchoesFile(s, f);
      const uint32_t echoedOffset = GetPacketLong(s);
      delivered = GetPacketByte(s);
      // More bytes than asked for are not taken: the reply is refused.
      if (delivered <= wanted) {
        ReceiveMore(s, delivered);
        for (uint8_t i = 0; i < delivered; ++i) data[i] = GetPacketByte(s);
      }
      return echoed && echoedOffset == offset && (delivered <= wanted || delivered == kHardwareFailure);
    });
  });
  if (!accepted) {
    count = 0;
    LogFailed(s);
    return false;
  }
  if (delivered == kHardwareFailure) {
    s.out(Channel::Always) << crlf << "Unit reported hardware failure, cannot read from flash drive. Address=$"
                           << hex(offset, 8) << crlf;
    count = 0;
    return false;
  }
  std::copy_n(data.begin(), delivered, buffer);
  count = delivered;
  return true;
}

bool CloseFile(TransferContext& s, const RemoteFile& f, uint8_t& result) {
  RemoteFileState& state = s.storage.remoteFile;
  Debug(s) << "RPC: " << Described("CloseFile", f) << crlf;
  bool finished = true;
  if (!state.readOpen && !state.writeOpen) Debug(s) << "ERROR: not open" << crlf;
  if (state.readOpen) {
    OverlappedReadFinish(s, f);
  } else if (state.writeOpen && !DrainWriteWindow(s, f, result)) {
    Debug(s) << "OverlappedWriteFinish failed" << crlf;
    finished = false;
  }
  uint8_t answer = 0;
  if (!ResultCall(s, f, wire::cmd::CloseFile, answer)) {
    LogFailed(s);
    return false;
  }
  LogResult(s, answer);
  result = answer;
  state.readOpen = false;
  state.writeOpen = false;
  return finished;
}

}  // namespace kl
