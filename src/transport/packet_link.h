// The packet layer: frames a request built byte by byte (length header, proxy header, CRC),
// reassembles the reply so that the caller reads it back byte by byte, and resynchronises on
// replies shifted by stray bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "wire/crc16.h"

namespace kl {

struct LinkContext;

// The CRC register shared by everything that frames or checks data. Taking the value returns
// it with its two bytes swapped, so that writing it high byte first puts the CRC's low byte on
// the line first, and starts the register again.
class CrcRegister {
 public:
  void add(uint8_t byte) { value_ = wire::crc16Update(value_, byte); }
  void add(const uint8_t* bytes, size_t count) { value_ = wire::crc16(bytes, count, value_); }
  uint16_t take() {
    const uint16_t value = value_;
    value_ = wire::kCrcInitial;
    return static_cast<uint16_t>((value >> 8) | (value << 8));
  }

 private:
  uint16_t value_ = wire::kCrcInitial;
};

struct PacketLink {
  static constexpr uint32_t kRequestSize = 20000;
  static constexpr uint32_t kReplySize = 20004;
  static constexpr uint32_t kStagingSize = 65536;

  std::array<uint8_t, kRequestSize> requestBytes{};
  uint32_t writePos = 0;
  uint32_t lastLength = 0;
  std::array<uint8_t, kReplySize> replyBytes{};
  uint32_t replySize = 0;
  uint32_t replyReceived = 0;
  uint32_t readPos = 0;
  bool proxyHeaderSeen = false;
  std::array<uint8_t, kStagingSize> transmitBuffer{};
  uint32_t transmitCount = 0;
  std::array<uint8_t, kStagingSize> receiveBuffer{};
  uint32_t receiveCount = 0;
  uint32_t bytesSent = 0;
  uint32_t bytesReceived = 0;
  bool proxyOn = false;
  uint8_t proxyAddress = 0;
  uint8_t proxyPort = 0;
  CrcRegister crc;
  // The progress bar on the console: its total and the dots shown so far.
  uint32_t progressTotal = 0;
  uint32_t progressDots = 0;
};

// Building and sending a request.
void BeginPacket(LinkContext& s);
void PutPacketByte(LinkContext& s, uint8_t byte);
void SendPacket(LinkContext& s, uint32_t length);
void SendLengthFramePacket(LinkContext& s, uint32_t length);
// Waits until every byte handed to the port has left it; false when a write failed.
bool WaitPacketsSent(LinkContext& s);

// Receiving a reply.
bool RecvPacket(LinkContext& s, uint32_t length);
bool RecvPartialPacket(LinkContext& s, uint32_t length);
// For a reply received in steps, whose CRC can be checked only at its end: when the bytes
// held do not begin with `start` (the expected echo), stray bytes came first. Drops bytes from
// the front and receives more until they do, for at most the slide time; false (the reply
// forgotten) when the start is not found.
bool SlideToReplyStart(LinkContext& s, std::span<const uint8_t> start);
uint8_t GetPacketByte(LinkContext& s);
bool CheckPacketEnd(LinkContext& s);
void ClearReceivedPacket(LinkContext& s);

// Multi-byte values travel most significant byte first.
inline void PutPacketWord(LinkContext& s, uint16_t value) {
  PutPacketByte(s, static_cast<uint8_t>(value >> 8));
  PutPacketByte(s, static_cast<uint8_t>(value));
}
inline void PutPacketLong(LinkContext& s, uint32_t value) {
  PutPacketWord(s, static_cast<uint16_t>(value >> 16));
  PutPacketWord(s, static_cast<uint16_t>(value));
}
inline uint16_t GetPacketWord(LinkContext& s) {
  const uint16_t high = GetPacketByte(s);
  return static_cast<uint16_t>((high << 8) | GetPacketByte(s));
}
inline uint32_t GetPacketLong(LinkContext& s) {
  const uint32_t high = GetPacketWord(s);
  return (high << 16) | GetPacketWord(s);
}

// The layer's own steps, exposed for the tests.
void TransmitBlock(LinkContext& s, const uint8_t* bytes, uint32_t count);
bool FlushTransmitBuffer(LinkContext& s);
long FillReceiveBuffer(LinkContext& s);
uint32_t ReceiveBlock(LinkContext& s, uint8_t* destination, uint32_t count);
void SlidePacket(LinkContext& s);

}  // namespace kl
