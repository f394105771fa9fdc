#include "transfer/transfer_link.h"

#include "protocol/link_speed.h"
#include "transfer/transfer_context.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "wire/frame.h"

namespace kl {

void AnnounceTransferMode(TransferContext& s, uint32_t windowSize) {
  ChannelWriter& always = s.out(Channel::Always);
  if (s.packet.proxyOn) {
    always << "-- using proxy" << crlf;
    if (s.overlappedActive) {
      always << "-- using overlapped (duplex) comms through proxy" << crlf;
      always << "-- window size = " << windowSize << crlf;
    } else if (s.transfer.bufferedProtocol) {
      always << "-- using buffered protocol" << crlf;
    }
    return;
  }
  if (s.overlappedActive) {
    always << "-- using overlapped (duplex) comms" << crlf;
    s.out(Channel::Debug) << "-- hardware handshaking enabled" << crlf;
    s.portSettings.hardwareHandshake = 1;
    ChangePacketBaudRateOrStop(s, s.portSettings.baudRate, s.portSettings.evenParity, ReplyTimeoutLong, false);
    always << "-- window size = " << windowSize << crlf;
  } else if (s.transfer.bufferedProtocol) {
    always << "-- using buffered protocol" << crlf;
  }
}

void EndHardwareHandshake(TransferContext& s) {
  if (!s.portSettings.hardwareHandshake) return;
  s.out(Channel::Debug) << "-- hardware handshaking disabled" << crlf;
  s.portSettings.hardwareHandshake = 0;
}

int FlashTries(TransferContext& s, int base) {
  const TransferState& t = s.transfer;
  if (t.flashPersistence <= 1 || s.platform.clock.tickMs() - t.persistenceStartMs >= t.persistenceSpanMs) return base;
  return base * t.flashPersistence;
}

QuietStream::QuietStream(TransferContext& s) : s_(s) { --s_.out.packetTraceLevel; }

QuietStream::~QuietStream() { ++s_.out.packetTraceLevel; }

bool BulkReply::echoes(TransferContext& s, uint16_t expectedCommand) const {
  return address == s.bootLoaderAddress && function == wire::kFunctionCall && command == expectedCommand;
}

namespace {

uint32_t GetPacketValue(TransferContext& s, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | GetPacketByte(s);
  return value;
}

}  // namespace

BulkReply ReceiveBulkReply(TransferContext& s, const BulkReplyLayout& layout) {
  BulkReply reply;
  RecvPacket(s, layout.size());
  reply.address = GetPacketByte(s);
  reply.function = GetPacketByte(s);
  reply.command = GetPacketWord(s);
  if (layout.sequence) reply.sequence = GetPacketWord(s);
  reply.where = GetPacketValue(s, layout.whereBytes);
  reply.length = GetPacketValue(s, layout.lengthBytes);
  if (layout.result) reply.result = GetPacketByte(s);
  reply.intact = CheckPacketEnd(s);
  return reply;
}

void WriteGotFields(TransferContext& s, const BulkReply& reply, int whereDigits) {
  s.out(Channel::Debug) << " - GOT " << reply.address << " FC" << hex(reply.function, 2) << " $"
                        << hex(reply.command, 4) << " $" << hex(reply.where, whereDigits) << " " << reply.length;
}

void ReportBadReply(TransferContext& s, uint32_t address, const BulkReply& reply) {
  s.out(Channel::Debug) << "BAD REPLY FOR " << hex(address, 8);
  WriteGotFields(s, reply, 8);
  s.out(Channel::Debug) << crlf;
  s.out(Channel::Console) << "!";
}

void ReportMissingAck(TransferContext& s, uint32_t what, int whatDigits, const BulkReply& reply, int whereDigits) {
  s.out(Channel::Debug) << "ACK MISSING FOR " << hex(what, whatDigits);
  WriteGotFields(s, reply, whereDigits);
  s.out(Channel::Debug) << crlf;
  s.out(Channel::Console) << "!";
}

void ReportFlashHardwareFailure(TransferContext& s, uint32_t address, uint8_t result) {
  s.out(Channel::Always) << "\r\nUnit reported hardware failure, cannot write to MCU flash memory. Address=$"
                         << hex(address, 8) << ", Result=" << hex(result, 2) << crlf;
}

void BeginBulkRequest(TransferContext& s, uint16_t command) {
  BeginPacket(s);
  PutPacketByte(s, s.bootLoaderAddress);
  PutPacketByte(s, wire::kFunctionCall);
  PutPacketWord(s, command);
}

}  // namespace kl
