// The windowed write: up to eight 128-byte blocks in flight, cumulative acknowledgements, and a
// go-back-N resend one block at a time when an acknowledgement is negative or missing.
#include <algorithm>
#include <optional>

#include "protocol/remote_call.h"
#include "transfer/remote_file_access.h"
#include "transfer/remote_file_window.h"
#include "transfer/transfer_context.h"
#include "transport/packet_link.h"
#include "transport/serial_port.h"
#include "wire/frame.h"

namespace kl {

namespace {

constexpr int kAttempts = 20;
constexpr uint32_t kAckLength = 12;
// Messages looked at in one wait for an acknowledgement, besides the time limit.
constexpr int kMessagesPerWait = 4 * kFileWindowSize;

struct WriteAck {
  uint8_t status = 0;
  uint32_t offset = 0;
  uint8_t result = 0;
};

bool ExtendedForm(TransferContext& s) { return s.storage.remoteFile.extendedWrite && s.newFileProtocol; }

void SendBlock(TransferContext& s, const RemoteFile& f, const FileWindow::WindowSlot& slot) {
  const bool extended = ExtendedForm(s);
  PrepareWindowedMessage(s);
  BeginPacket(s);
  PutPacketByte(s, f.address);
  if (extended) {
    PutPacketByte(s, wire::kFunctionWindowedAck);
    PutPacketByte(s, windowed::ExtendedMarker);
  } else {
    PutPacketByte(s, wire::kFunctionWindowed);
  }
  PutPacketByte(s, windowed::WriteData);
  PutPacketByte(s, f.DriveNo);
  PutPacketWord(s, f.FileNo);
  PutPacketLong(s, slot.offset);
  PutPacketByte(s, slot.count);
  for (uint8_t i = 0; i < slot.count; ++i) PutPacketByte(s, slot.data[i]);
  SendLengthFramePacket(s, (extended ? 12u : 11u) + slot.count);
}

// The next acknowledgement of this file with status "3" or "4", waiting until the reply
// time-out has passed since `sinceTick`; other messages are skipped. `lastOffset` is the
// offset of the last acknowledgement seen.
std::optional<WriteAck> ReceiveAck(TransferContext& s, const RemoteFile& f, uint32_t sinceTick, uint32_t& lastOffset) {
  Clock& clock = s.platform.clock;
  for (int looked = 0; looked < kMessagesPerWait; ++looked) {
    if (clock.tickMs() - sinceTick > s.portSettings.replyTimeout) break;
    if (!RecvPacket(s, kAckLength)) continue;
    const uint8_t address = GetPacketByte(s);
    const uint8_t function = GetPacketByte(s);
    WriteAck ack;
    ack.status = GetPacketByte(s);
    const uint8_t drive = GetPacketByte(s);
    const uint16_t file = GetPacketWord(s);
    ack.offset = GetPacketLong(s);
    GetPacketByte(s);  // not used
    ack.result = GetPacketByte(s);
    if (!CheckPacketEnd(s) || address != f.address || function != wire::kFunctionWindowed || drive != f.DriveNo ||
        file != f.FileNo) {
      continue;
    }
    if (ack.status != windowed::Acknowledged && ack.status != windowed::NotAcknowledged) continue;
    lastOffset = ack.offset;
    return ack;
  }
  return std::nullopt;
}

void ReportWriteFailure(TransferContext& s, const WriteAck& ack) {
  s.out(Channel::Always) << crlf << "Unit reported hardware failure, cannot write to flash drive. Address=$"
                         << hex(ack.offset, 8) << ", Result=" << hex(ack.result, 2) << crlf;
}

void ReportMissing(TransferContext& s, const RemoteFile& f, std::string_view what, uint32_t headOffset,
                   uint32_t gotOffset) {
  s.out(Channel::Debug) << what << hex(headOffset, 8) << " - GOT " << hex(f.DriveNo, 2) << "." << hex(f.FileNo, 4)
                        << " $" << hex(gotOffset, 8) << crlf;
  s.out(Channel::Console) << "!";
}

// Acknowledgements are cumulative: every block up to the acknowledged offset has arrived.
void Release(FileWindow& w, uint32_t acknowledged) {
  while (!w.empty() && w.slots[w.head].offset <= acknowledged) {
    w.head = FileWindow::after(w.head);
    --w.inFlight;
  }
}

// Go-back-N: the oldest block is sent again, alone, until it is acknowledged, then the next.
bool ResendWindow(TransferContext& s, const RemoteFile& f, uint8_t& result) {
  FileWindow& w = s.storage.remoteFile.window;
  while (!w.empty()) {
    const FileWindow::WindowSlot& head = w.slots[w.head];
    const uint32_t headOffset = head.offset;
    bool covered = false;
    for (int attempt = 1; attempt <= kAttempts && !covered; ++attempt) {
      // A port that has lost its footing is opened afresh; a proxy's own port is not ours.
      if (attempt == 2 && !s.packet.proxyOn && !ChangeBaudRate(s)) break;
      SendBlock(s, f, head);
      if (attempt >= 3) SendBlock(s, f, head);
      const uint32_t sent = s.platform.clock.tickMs();
      uint32_t lastOffset = 0;
      while (const auto ack = ReceiveAck(s, f, sent, lastOffset)) {
        result = ack->result;
        if (ack->result != 0) {
          ReportWriteFailure(s, *ack);
          return false;
        }
        if (ack->status == windowed::Acknowledged && ack->offset >= headOffset) {
          Release(w, ack->offset);
          covered = true;
          break;
        }
      }
    }
    if (!covered) {
      LogFailed(s);
      return false;
    }
  }
  return true;
}

// Waits for one acknowledgement and acts on it.
bool ProcessOneAck(TransferContext& s, const RemoteFile& f, uint8_t& result) {
  FileWindow& w = s.storage.remoteFile.window;
  uint32_t lastOffset = 0;
  for (int attempt = 0; attempt < kAttempts;) {
    const auto ack = ReceiveAck(s, f, s.platform.clock.tickMs(), lastOffset);
    const uint32_t headOffset = w.slots[w.head].offset;
    if (!ack) {
      ReportMissing(s, f, "ACK MISSING FOR ", headOffset, lastOffset);
      return ResendWindow(s, f, result);
    }
    result = ack->result;
    if (ack->result != 0) {
      ReportWriteFailure(s, *ack);
      return false;
    }
    if (ack->status == windowed::NotAcknowledged) {
      ReportMissing(s, f, "NACK FOR ", headOffset, ack->offset);
      return ResendWindow(s, f, result);
    }
    if (ack->offset >= headOffset) {
      Release(w, ack->offset);
      return true;
    }
    ++attempt;  // an acknowledgement of blocks released before
  }
  LogFailed(s);
  return false;
}

}  // namespace

bool WriteFileRemote(TransferContext& s, const RemoteFile& f, uint32_t offset, uint32_t count, const uint8_t* data,
                     uint8_t& result) {
  RemoteFileState& state = s.storage.remoteFile;
  result = 0;
  if (!state.writeOpen || count == 0 || count > kFileBlockSize) {
    s.out(Channel::Debug) << "WriteFileRemote: no block of " << count << " bytes can be written" << crlf;
    return false;
  }
  FileWindow& w = state.window;
  if ((w.inFlight >= kFileWindowSize || w.full()) && !ProcessOneAck(s, f, result)) return false;
  FileWindow::WindowSlot& slot = w.slots[w.tail];
  slot.offset = offset;
  slot.count = static_cast<uint8_t>(count);
  std::copy_n(data, count, slot.data.begin());
  slot.received = false;
  SendBlock(s, f, slot);
  w.tail = FileWindow::after(w.tail);
  ++w.inFlight;
  return true;
}

bool DrainWriteWindow(TransferContext& s, const RemoteFile& f, uint8_t& result) {
  result = 0;
  FileWindow& w = s.storage.remoteFile.window;
  while (!w.empty()) {
    if (!ProcessOneAck(s, f, result)) return false;
  }
  return true;
}

bool FlushFileRemote(TransferContext& s, const RemoteFile& f, uint8_t& result) {
  if (!s.storage.remoteFile.writeOpen || !DrainWriteWindow(s, f, result)) {
    s.out(Channel::Debug) << "FlushFileRemote failed" << crlf;
    return false;
  }
  return true;
}

}  // namespace kl
