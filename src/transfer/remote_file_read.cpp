// The windowed read: eight 128-byte requests ahead of the reader, replies matched by offset in
// whatever order they come.
#include <algorithm>
#include <cstring>

#include "protocol/remote_call.h"
#include "transfer/remote_file_access.h"
#include "transfer/remote_file_window.h"
#include "transfer/transfer_context.h"
#include "transport/packet_link.h"
#include "wire/frame.h"

namespace kl {

namespace {

constexpr int kAttempts = 20;
// Replies taken in one attempt before it gives up on the head block: a line that keeps
// delivering replies for other blocks or from elsewhere cannot hold the reader forever.
constexpr int kRepliesPerAttempt = 4 * kFileWindowSize;
constexpr uint8_t kHardwareFailure = 0xFF;
constexpr uint32_t kHeaderAfterFunction = 9;  // sub-code, drive, file, offset, count

enum class Reply { Nothing, Ignored, Taken, HardwareFailure };

void SendReadRequest(TransferContext& s, const RemoteFile& f, uint32_t offset) {
  PrepareWindowedMessage(s);
  BeginPacket(s);
  PutPacketByte(s, f.address);
  PutPacketByte(s, wire::kFunctionWindowed);
  PutPacketByte(s, windowed::ReadRequest);
  PutPacketByte(s, f.DriveNo);
  PutPacketWord(s, f.FileNo);
  PutPacketLong(s, offset);
  PutPacketByte(s, static_cast<uint8_t>(kFileBlockSize));
  SendLengthFramePacket(s, 11);
}

void FillWindow(TransferContext& s, const RemoteFile& f) {
  FileWindow& w = s.storage.remoteFile.window;
  while (w.inFlight < kFileWindowSize && !w.full()) {
    FileWindow::WindowSlot& slot = w.slots[w.tail];
    slot.offset = w.nextReadOffset;
    slot.count = 0;
    slot.received = false;
    w.tail = FileWindow::after(w.tail);
    ++w.inFlight;
    SendReadRequest(s, f, slot.offset);
    w.nextReadOffset += kFileBlockSize;
  }
}

// Receives one windowed read reply and files it under its block.
Reply ReceiveReadReply(TransferContext& s, const RemoteFile& f) {
  if (!RecvPartialPacket(s, 2)) return Reply::Nothing;
  const uint8_t address = GetPacketByte(s);
  const uint8_t function = GetPacketByte(s);
  if (function != wire::kFunctionWindowed && function != wire::kFunctionWindowedAck) {
    CheckPacketEnd(s);  // nothing to go by: the packet layer resynchronises
    return Reply::Ignored;
  }
  const bool extended = function == wire::kFunctionWindowedAck;
  ReceiveMore(s, kHeaderAfterFunction + (extended ? 1 : 0));
  const bool markerRight = !extended || (GetPacketByte(s) & 0x0F) == windowed::ExtendedMarker;
  const uint8_t subCode = GetPacketByte(s);
  const uint8_t drive = GetPacketByte(s);
  const uint16_t file = GetPacketWord(s);
  const uint32_t offset = GetPacketLong(s);
  const uint8_t count = GetPacketByte(s);
  std::array<uint8_t, kFileBlockSize> data{};
  if (count <= kFileBlockSize) {
    ReceiveMore(s, count);
    for (uint8_t i = 0; i < count; ++i) data[i] = GetPacketByte(s);
  }
  const bool intact = CheckPacketEnd(s);
  if (!intact || !markerRight || address != f.address || subCode != windowed::ReadReply || drive != f.DriveNo ||
      file != f.FileNo) {
    return Reply::Ignored;
  }
  if (count == kHardwareFailure) return Reply::HardwareFailure;
  if (count > kFileBlockSize) return Reply::Ignored;
  FileWindow& w = s.storage.remoteFile.window;
  for (uint8_t i = w.head; i != w.tail; i = FileWindow::after(i)) {
    FileWindow::WindowSlot& slot = w.slots[i];
    if (slot.offset != offset) continue;
    std::copy_n(data.begin(), count, slot.data.begin());
    slot.count = count;
    slot.received = true;
    break;
  }
  return Reply::Taken;
}

// One attempt to obtain the head block: replies are taken until it is there or the line falls
// silent.
Reply AwaitHeadBlock(TransferContext& s, const RemoteFile& f) {
  const FileWindow& w = s.storage.remoteFile.window;
  for (int taken = 0; taken < kRepliesPerAttempt; ++taken) {
    if (w.slots[w.head].received) return Reply::Taken;
    const Reply reply = ReceiveReadReply(s, f);
    if (reply == Reply::Nothing) {
      s.out(Channel::Debug) << "no data received from comm port" << crlf;
      return Reply::Nothing;
    }
    if (reply == Reply::HardwareFailure) return reply;
  }
  return w.slots[w.head].received ? Reply::Taken : Reply::Nothing;
}

void DeliverHead(FileWindow& w, uint32_t& count, uint8_t* buffer) {
  FileWindow::WindowSlot& slot = w.slots[w.head];
  const uint32_t n = std::min<uint32_t>(count, slot.count);
  std::memcpy(buffer, slot.data.data(), n);
  count = n;
  if (n < slot.count) {
    std::memmove(slot.data.data(), slot.data.data() + n, slot.count - n);
    slot.count = static_cast<uint8_t>(slot.count - n);
    slot.offset += n;
  } else {
    w.head = FileWindow::after(w.head);
    --w.inFlight;
  }
}

}  // namespace

bool ReadFileRemote(TransferContext& s, const RemoteFile& f, uint32_t offset, uint32_t& count, uint8_t* buffer) {
  RemoteFileState& state = s.storage.remoteFile;
  if (!state.readOpen) {
    s.out(Channel::Debug) << "ReadFileRemote: file not open for reading" << crlf;
    count = 0;
    return false;
  }
  count = std::min(count, kFileBlockSize);
  FillWindow(s, f);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const Reply reply = AwaitHeadBlock(s, f);
    if (reply == Reply::Taken) {
      DeliverHead(state.window, count, buffer);
      return true;
    }
    if (reply == Reply::HardwareFailure) {
      s.out(Channel::Always) << crlf << "Unit reported hardware failure, cannot read from flash drive. Address=$"
                             << hex(offset, 8) << crlf;
      count = 0;
      return false;
    }
    s.out(Channel::Debug) << "READ MISSING FOR " << hex(offset, 8) << " - " << hex(f.DriveNo, 2) << "."
                          << hex(f.FileNo, 4) << crlf;
    s.out(Channel::Console) << "!";
    SendReadRequest(s, f, offset);
  }
  LogFailed(s);
  count = 0;
  return false;
}

void OverlappedReadFinish(TransferContext& s, const RemoteFile& f) {
  FileWindow& w = s.storage.remoteFile.window;
  const auto waiting = [&w] {
    for (uint8_t i = w.head; i != w.tail; i = FileWindow::after(i)) {
      if (!w.slots[i].received) return true;
    }
    return false;
  };
  for (int taken = 0; taken < kRepliesPerAttempt && waiting(); ++taken) {
    const Reply reply = ReceiveReadReply(s, f);
    if (reply == Reply::Nothing || reply == Reply::HardwareFailure) break;
  }
  EmptyWindow(w, false);
}

}  // namespace kl
