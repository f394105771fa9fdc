#include "transfer/send_window.h"

#include <algorithm>

#include "protocol/remote_call.h"
#include "transfer/transfer_context.h"
#include "transfer/transfer_link.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

constexpr int kAckTries = 20;
constexpr uint32_t kBlocksInFlight = 8;
constexpr uint16_t kSequenceMask = 0x7FFF;
constexpr uint16_t kFirstChunkBit = 0x8000;

// Replies after the echo: WriteRam address and length; WriteRamBlock offset and status;
// windowed flash write sequence, address, an unused byte and the result.
constexpr BulkReplyLayout kRamAck{false, 4, 1, false};
constexpr BulkReplyLayout kBlockAck{false, 2, 1, false};
constexpr BulkReplyLayout kFlashAck{true, 4, 1, true};

WindowSlot& Store(SendWindow& window, uint32_t address, std::span<const uint8_t> data) {
  WindowSlot& slot = window.push();
  slot.address = address;
  slot.length = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), slot.data.begin());
  return slot;
}

void PutSlotData(TransferContext& s, const WindowSlot& slot) {
  for (uint32_t i = 0; i < slot.length; ++i) PutPacketByte(s, slot.data[i]);
}

void SendRamSlot(TransferContext& s, const WindowSlot& slot) {
  BeginBulkRequest(s, wire::cmd::WriteRam);
  PutPacketLong(s, slot.address);
  PutPacketByte(s, slot.length);
  PutSlotData(s, slot);
  SendPacket(s, 9u + slot.length);
}

void SendBlockSlot(TransferContext& s, const WindowSlot& slot) {
  BeginBulkRequest(s, wire::cmd::WriteRamBlock);
  PutPacketWord(s, static_cast<uint16_t>(slot.address));
  PutPacketByte(s, slot.length);
  PutSlotData(s, slot);
  SendPacket(s, 7u + slot.length);
}

void SendFlashSlot(TransferContext& s, const WindowSlot& slot) {
  BeginBulkRequest(s, wire::cmd::FlashWriteWindowed);
  PutPacketWord(s, slot.sequence);
  PutPacketLong(s, slot.address);
  PutPacketByte(s, slot.length);
  PutSlotData(s, slot);
  SendPacket(s, 11u + slot.length);
}

// An acknowledgement for a later packet than the oldest: remembered on that packet.
void MarkAcknowledged(SendWindow& window, uint32_t address) {
  for (uint32_t i = 0; i < window.inFlight; ++i) {
    WindowSlot& slot = window.inFlightSlot(i);
    if (slot.address == address) {
      slot.acknowledged = true;
      return;
    }
  }
}

// The RAM and block acknowledgement wait: the oldest packet is done when its own reply comes;
// replies for later ones are remembered, and a missing reply sends the oldest again.
bool WaitOldestAck(TransferContext& s, SendWindow& window, const BulkReplyLayout& layout, uint16_t command, int digits,
                   void (*resend)(TransferContext&, const WindowSlot&)) {
  const bool flash = &window == &s.transfer.flashBlocks;
  for (int tries = 0; tries < (flash ? FlashTries(s, kAckTries) : kAckTries); ++tries) {
    WindowSlot& oldest = window.oldestSlot();
    if (oldest.acknowledged) {
      window.release();
      return true;
    }
    const BulkReply reply = ReceiveBulkReply(s, layout);
    // A block the unit could not take (non-zero status) counts as not acknowledged.
    const bool valid = reply.intact && reply.echoes(s, command) && (layout.whereBytes == 4 || reply.length == 0);
    if (valid) {
      if (reply.where == oldest.address) {
        window.release();
        return true;
      }
      MarkAcknowledged(window, reply.where);
    } else {
      resend(s, oldest);
    }
    ReportMissingAck(s, oldest.address, digits, reply, digits);
  }
  LogFailed(s);
  return false;
}

bool WaitOldestBlockAck(TransferContext& s, SendWindow& window) {
  return WaitOldestAck(s, window, kBlockAck, wire::cmd::WriteRamBlock, 4, SendBlockSlot);
}

void ReportMissingFlashAck(TransferContext& s, uint16_t oldestSequence, const BulkReply& reply) {
  s.out(Channel::Debug) << "ACK MISSING FOR " << hex(oldestSequence & kSequenceMask, 4) << " - GOT " << reply.address
                        << " FC" << hex(reply.function, 2) << " $" << hex(reply.command, 4) << " "
                        << hex(reply.sequence, 4) << " $" << hex(reply.where, 8) << " " << reply.length << crlf;
  s.out(Channel::Console) << "!";
}

// Waits until an acknowledgement releases at least the oldest windowed flash write. One reply
// acknowledges every packet up to its sequence; a lost or damaged one sends the whole window
// again.
bool WaitFlashAcks(TransferContext& s) {
  SendWindow& window = s.transfer.flash;
  for (int tries = 0; tries < FlashTries(s, kAckTries) && !window.empty(); ++tries) {
    const uint16_t oldestSequence = window.oldestSlot().sequence & kSequenceMask;
    const BulkReply reply = ReceiveBulkReply(s, kFlashAck);
    if (reply.intact && reply.echoes(s, wire::cmd::FlashWriteWindowed)) {
      // How far past the oldest the acknowledged packet lies, counted modulo the sequence range.
      const uint32_t ahead = static_cast<uint16_t>(reply.sequence - oldestSequence) & kSequenceMask;
      if (ahead < window.inFlight) {
        for (uint32_t i = 0; i <= ahead; ++i) window.release();
        if (reply.result != 0) {
          ReportFlashHardwareFailure(s, reply.where, reply.result);
          return false;
        }
        return true;
      }
    } else if (!reply.intact) {
      for (uint32_t i = 0; i < window.inFlight; ++i) SendFlashSlot(s, window.inFlightSlot(i));
    }
    ReportMissingFlashAck(s, oldestSequence, reply);
  }
  if (window.empty()) return true;
  LogFailed(s);
  return false;
}

}  // namespace

bool QueueRamWrite(TransferContext& s, uint32_t address, std::span<const uint8_t> data) {
  TransferState& t = s.transfer;
  if ((t.ram.inFlight >= t.ramWindowSize || t.ram.full()) && !WaitOldestRamAck(s)) return false;
  SendRamSlot(s, Store(t.ram, address, data));
  return true;
}

bool WaitOldestRamAck(TransferContext& s) {
  return WaitOldestAck(s, s.transfer.ram, kRamAck, wire::cmd::WriteRam, 8, SendRamSlot);
}

bool DrainRamWindow(TransferContext& s) {
  while (!s.transfer.ram.empty()) {
    if (!WaitOldestRamAck(s)) return false;
  }
  return true;
}

bool SendBufferedBlocks(TransferContext& s, SendWindow& window, std::span<const uint8_t> record) {
  window.clear();
  for (size_t offset = 0; offset < record.size(); offset += kWindowPacketBytes) {
    if ((window.inFlight >= kBlocksInFlight || window.full()) && !WaitOldestBlockAck(s, window)) return false;
    const size_t length = std::min<size_t>(kWindowPacketBytes, record.size() - offset);
    SendBlockSlot(s, Store(window, static_cast<uint32_t>(offset), record.subspan(offset, length)));
  }
  while (!window.empty()) {
    if (!WaitOldestBlockAck(s, window)) return false;
  }
  return true;
}

bool QueueFlashWrite(TransferContext& s, uint32_t address, std::span<const uint8_t> data, bool firstChunk) {
  TransferState& t = s.transfer;
  if ((t.flash.inFlight >= t.flashWindowSize || t.flash.full()) && !WaitFlashAcks(s)) return false;
  WindowSlot& slot = Store(t.flash, address, data);
  slot.sequence = static_cast<uint16_t>(t.flashSequence | (firstChunk ? kFirstChunkBit : 0));
  t.flashSequence = (t.flashSequence + 1) & kSequenceMask;
  SendFlashSlot(s, slot);
  return true;
}

bool DrainFlashWindow(TransferContext& s) {
  while (!s.transfer.flash.empty()) {
    if (!WaitFlashAcks(s)) return false;
  }
  return true;
}

}  // namespace kl
