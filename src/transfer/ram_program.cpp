#include "transfer/ram_program.h"

#include <algorithm>
#include <array>

#include "protocol/link_speed.h"
#include "protocol/remote_call.h"
#include "transfer/transfer_context.h"
#include "transfer/transfer_link.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

constexpr int kExamineAttempts = 8;
constexpr uint32_t kExaminePiece = 128;
constexpr int kSpeedCycleAttempts = 12;
constexpr uint32_t kStartPauseMs = 100;

// One read of a piece; true when the reply is intact, echoes the request and holds the
// piece, whose bytes are then in `read`.
bool ReadPiece(TransferContext& s, uint32_t address, uint32_t count, std::array<uint8_t, kExaminePiece>& read) {
  BeginBulkRequest(s, wire::cmd::Examine);
  PutPacketLong(s, address);
  PutPacketByte(s, static_cast<uint8_t>(count));
  SendPacket(s, 9);
  RecvPacket(s, 9 + count);
  BulkReply reply;
  reply.address = GetPacketByte(s);
  reply.function = GetPacketByte(s);
  reply.command = GetPacketWord(s);
  reply.where = GetPacketLong(s);
  reply.length = GetPacketByte(s);
  for (uint32_t i = 0; i < count; ++i) read[i] = GetPacketByte(s);
  const bool intact = CheckPacketEnd(s);
  return intact && reply.echoes(s, wire::cmd::Examine) && reply.where == address && reply.length == count;
}

// Reports every byte of the piece that differs; true when none does.
bool PieceMatches(TransferContext& s, uint32_t address, std::span<const uint8_t> expected,
                  const std::array<uint8_t, kExaminePiece>& read) {
  bool matches = true;
  for (uint32_t i = 0; i < expected.size(); ++i) {
    if (read[i] == expected[i]) continue;
    s.out(Channel::Debug) << "Examine returned different data at " << hex(address + i, 8) << " got "
                          << hex(read[i], 2) << " expected " << hex(expected[i], 2) << crlf;
    s.out(Channel::Always) << "Verify error" << crlf;
    matches = false;
  }
  return matches;
}

}  // namespace

bool Examine(TransferContext& s, uint32_t address, std::span<const uint8_t> expected) {
  std::array<uint8_t, kExaminePiece> read{};
  for (uint32_t offset = 0; offset < expected.size(); offset += kExaminePiece) {
    const auto count = static_cast<uint32_t>(std::min<size_t>(kExaminePiece, expected.size() - offset));
    const uint32_t at = address + offset;
    const auto piece = expected.subspan(offset, count);
    const bool good = Repeat(kExamineAttempts, [&] { return ReadPiece(s, at, count, read) && PieceMatches(s, at, piece, read); });
    if (!good) return false;
  }
  return true;
}

bool CallThroughSpeedCycle(TransferContext& s, const CallRequest& request) {
  const uint32_t startBaud = s.portSettings.baudRate;
  const uint8_t startParity = s.portSettings.evenParity;
  for (int attempt = 0; attempt < kSpeedCycleAttempts; ++attempt) {
    switch (attempt % 3) {
      case 0: ChangePacketBaudRateOrStop(s, startBaud, startParity, ReplyTimeoutNormal, false); break;
      case 1: ChangePacketBaudRateOrStop(s, 115200, 0, ReplyTimeoutNormal, false); break;
      default: ChangePacketBaudRateOrStop(s, 9600, 0, ReplyTimeoutNormal, false); break;
    }
    if (CallOnce(s, request, 4)) return true;
  }
  return false;
}

bool TransferToRamProgram(TransferContext& s, uint32_t entry) {
  s.out(Channel::Debug) << "RPC: Transfer to RAM program at $" << hex(entry, 8) << crlf;
  const CallRequest request{s.bootLoaderAddress, wire::cmd::TransferToRamProgram,
                            [entry](LinkContext& session) { PutPacketLong(session, entry); }, 4};
  if (!CallThroughSpeedCycle(s, request)) {
    LogFailed(s);
    return false;
  }
  LogComplete(s);
  // The program needs a moment to set itself up before it listens.
  s.platform.clock.sleep(kStartPauseMs);
  return true;
}

}  // namespace kl
