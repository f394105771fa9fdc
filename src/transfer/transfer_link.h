// What the programmer download and the flash writer share about the line: the mode lines and
// hardware handshaking of overlapped writes, the quieter packet trace of a bulk stream, and
// the reading and reporting of the fixed-size replies of the bulk commands.
#pragma once

#include <cstdint>
#include <string_view>

namespace kl {

struct TransferContext;

// Announces the transfer mode on Always ("-- using proxy", "-- using overlapped (duplex)
// comms", "-- window size = ", "-- using buffered protocol"). Direct overlapped writes turn
// hardware handshaking on.
void AnnounceTransferMode(TransferContext& s, uint32_t windowSize);
// "-- hardware handshaking disabled" and off, when it is on.
void EndHardwareHandshake(TransferContext& s);

// The attempts a flash packet, commit or acknowledgement wait gets now: `base`, or the
// persistence's multiple of it while a boot-loader write is within its time.
int FlashTries(TransferContext& s, int base);

// Lowers the packet trace level for a bulk stream and raises it again on every way out.
class QuietStream {
 public:
  explicit QuietStream(TransferContext& s);
  ~QuietStream();
  QuietStream(const QuietStream&) = delete;
  QuietStream& operator=(const QuietStream&) = delete;

 private:
  TransferContext& s_;
};

// The fields every bulk reply starts with: the echo, then an address (or a block offset or a
// sequence word followed by an address) and a length or status.
struct BulkReply {
  bool intact = false;  // a frame with a good CRC arrived
  uint8_t address = 0;
  uint8_t function = 0;
  uint16_t command = 0;
  uint16_t sequence = 0;  // windowed flash acknowledgements only
  uint32_t where = 0;     // address, or offset
  uint32_t length = 0;    // length or status (the unused byte of a windowed flash acknowledgement)
  uint8_t result = 0;     // flash writes only

  // Address, function byte and command echo a bulk request to the programmer.
  bool echoes(TransferContext& s, uint16_t expectedCommand) const;
};

// Layout of one kind of bulk reply after the four-byte echo.
struct BulkReplyLayout {
  bool sequence = false;    // a 16-bit sequence word first
  int whereBytes = 4;       // address (4) or offset (2)
  int lengthBytes = 1;      // length or status (1 or 2)
  bool result = false;      // an 8-bit result at the end
  uint32_t size() const {
    return 4 + (sequence ? 2 : 0) + static_cast<uint32_t>(whereBytes + lengthBytes) + (result ? 1 : 0);
  }
};

// Receives one reply of the layout's size and reads it.
BulkReply ReceiveBulkReply(TransferContext& s, const BulkReplyLayout& layout);

// " - GOT " and the reply's fields ("12 FC45 $1020 $00000400 128") on Debug.
void WriteGotFields(TransferContext& s, const BulkReply& reply, int whereDigits);
// "BAD REPLY FOR <address> - GOT ..." on Debug and "!" on the console.
void ReportBadReply(TransferContext& s, uint32_t address, const BulkReply& reply);
// "ACK MISSING FOR <what> - GOT ..." on Debug and "!" on the console.
void ReportMissingAck(TransferContext& s, uint32_t what, int whatDigits, const BulkReply& reply, int whereDigits);

// "\r\nUnit reported hardware failure, cannot write to MCU flash memory. Address=$..., Result=.."
// on Always.
void ReportFlashHardwareFailure(TransferContext& s, uint32_t address, uint8_t result);

// Starts the request of a bulk command to the programmer: boot-loader address, 0x45 and the
// command; the caller writes the arguments and sends it with SendPacket (4 + their length).
void BeginBulkRequest(TransferContext& s, uint16_t command);

}  // namespace kl
