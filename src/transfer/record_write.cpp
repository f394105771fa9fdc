#include "transfer/record_write.h"

#include "protocol/remote_call.h"
#include "transfer/send_window.h"
#include "transfer/transfer_context.h"
#include "transfer/transfer_link.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

constexpr int kPlainAttempts = 8;
constexpr int kCommitAttempts = 8;

struct MemoryCommands {
  uint16_t plain;
  uint16_t plainLarge;
  uint16_t commit;
};

constexpr MemoryCommands kRamCommands{wire::cmd::WriteRam, wire::cmd::WriteRamLarge, wire::cmd::CommitRamBlock};
constexpr MemoryCommands kFlashCommands{wire::cmd::FlashWritePlain, wire::cmd::FlashWritePlainLarge,
                                        wire::cmd::FlashWriteBufferedCommit};

const MemoryCommands& CommandsFor(Memory memory) { return memory == Memory::Ram ? kRamCommands : kFlashCommands; }

// A write's reply echoes the address and the length (a word for large packets and commits);
// flash replies end in the write's result, RAM replies carry none, so theirs stays 0.
BulkReplyLayout ReplyLayout(Memory memory, int lengthBytes) { return {false, 4, lengthBytes, memory == Memory::Flash}; }

// While a boot loader is written, flash packets get more attempts.
int Attempts(TransferContext& s, Memory memory, int base) {
  return memory == Memory::Flash ? FlashTries(s, base) : base;
}

// A reply that answers the write at `address` of `length` bytes.
bool Answers(TransferContext& s, const BulkReply& reply, uint16_t command, uint32_t address, uint32_t length) {
  return reply.intact && reply.echoes(s, command) && reply.where == address && reply.length == length;
}

bool WritePlain(TransferContext& s, Memory memory, uint32_t address, std::span<const uint8_t> data) {
  const MemoryCommands& commands = CommandsFor(memory);
  const bool large = data.size() > kWindowPacketBytes;
  const uint16_t command = large ? commands.plainLarge : commands.plain;
  const auto length = static_cast<uint32_t>(data.size());
  for (int attempt = 0; attempt < Attempts(s, memory, kPlainAttempts); ++attempt) {
    BeginBulkRequest(s, command);
    PutPacketLong(s, address);
    if (large) {
      PutPacketWord(s, static_cast<uint16_t>(length));
    } else {
      PutPacketByte(s, static_cast<uint8_t>(length));
    }
    for (uint8_t byte : data) PutPacketByte(s, byte);
    SendPacket(s, (large ? 10 : 9) + length);
    if (large) WaitPacketsSent(s);
    const BulkReply reply = ReceiveBulkReply(s, ReplyLayout(memory, large ? 2 : 1));
    if (!Answers(s, reply, command, address, length)) {
      ReportBadReply(s, address, reply);
      continue;
    }
    if (reply.result != 0) {
      ReportFlashHardwareFailure(s, address, reply.result);
      return false;
    }
    return true;
  }
  LogFailed(s);
  return false;
}

// The blocks are in the unit's buffer; the commit writes them to their memory.
bool CommitBlocks(TransferContext& s, Memory memory, uint32_t address, uint32_t length) {
  const MemoryCommands& commands = CommandsFor(memory);
  for (int attempt = 0; attempt < Attempts(s, memory, kCommitAttempts); ++attempt) {
    BeginBulkRequest(s, commands.commit);
    PutPacketLong(s, address);
    PutPacketWord(s, static_cast<uint16_t>(length));
    SendPacket(s, 10);
    const BulkReply reply = ReceiveBulkReply(s, ReplyLayout(memory, 2));
    if (!Answers(s, reply, commands.commit, address, length)) continue;
    if (reply.result != 0) {
      ReportFlashHardwareFailure(s, address, reply.result);
      return false;
    }
    return true;
  }
  LogFailed(s);
  return false;
}

}  // namespace

bool WriteRecord(TransferContext& s, Memory memory, uint32_t address, std::span<const uint8_t> data, bool firstChunk) {
  if (s.overlappedActive) {
    return memory == Memory::Ram ? QueueRamWrite(s, address, data) : QueueFlashWrite(s, address, data, firstChunk);
  }
  if (s.transfer.bufferedProtocol) {
    SendWindow& blocks = memory == Memory::Ram ? s.transfer.ramBlocks : s.transfer.flashBlocks;
    return SendBufferedBlocks(s, blocks, data) && CommitBlocks(s, memory, address, static_cast<uint32_t>(data.size()));
  }
  return WritePlain(s, memory, address, data);
}

bool LeaveOverlappedForLargePackets(TransferContext& s, Memory memory) {
  if (!(memory == Memory::Ram ? DrainRamWindow(s) : DrainFlashWindow(s))) return false;
  s.out(Channel::Always) << "-- overlapped mode turned off (using large packets)" << crlf;
  s.overlappedActive = false;
  s.run.verifyTurnedOff = true;
  return true;
}

}  // namespace kl
