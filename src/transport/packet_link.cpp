#include "transport/packet_link.h"

#include <algorithm>
#include <cstring>

#include "transport/link_context.h"
#include "transport/packet_dump.h"
#include "wire/frame.h"

namespace kl {

namespace {

constexpr uint32_t kCrcBytes = 2;
constexpr uint32_t kProxyHeader = wire::kProxyHeaderSize;
constexpr uint32_t kWaitStepMs = 10;
constexpr uint32_t kSlideLimitMs = 100;

bool Tracing(LinkContext& s) { return s.out.packetTraceLevel > 0; }

// True when the CRC over all `count` bytes, CRC included, is 0.
bool FrameIntact(LinkContext& s, const uint8_t* bytes, uint32_t count) {
  s.packet.crc.add(bytes, count);
  return s.packet.crc.take() == 0;
}

// Forgets the held reply without touching the request.
void ForgetReply(PacketLink& p) {
  p.replySize = 0;
  p.replyReceived = 0;
  p.readPos = 0;
  p.proxyHeaderSeen = false;
}

// A held reply no longer belongs to the request being built.
void DiscardHeldReply(LinkContext& s) {
  PacketLink& p = s.packet;
  if (p.replySize == 0) return;
  s.out(Channel::DetailedDebug) << "[DISCARD (" << p.replySize << ") " << HexDump(p.replyBytes.data(), p.replySize)
                                << "]" << crlf;
  ForgetReply(p);
}

void TraceBadCrc(LinkContext& s) {
  PacketLink& p = s.packet;
  s.out(Channel::DetailedDebug) << "[BAD CRC (" << p.replySize << ") " << HexDump(p.replyBytes.data(), p.replySize)
                                << "] {" << TextDump(p.replyBytes.data(), p.replySize) << "}" << crlf;
}

// Waits up to `ms` for received bytes, waking as soon as some arrive.
void WaitForBytes(LinkContext& s, uint32_t ms) {
  if (s.port.handle) {
    s.port.handle->waitReadable(ms);
  } else {
    s.platform.clock.sleep(ms);
  }
}

void SendFrame(LinkContext& s, uint32_t length, bool lengthFramed) {
  PacketLink& p = s.packet;
  if (length != p.writePos) {
    s.out(Channel::Always) << "ERROR: SendPacket(" << length << "): Write size error:" << p.writePos << crlf;
    return;
  }
  if (p.writePos != p.lastLength) {  // a shorter copy of the previous request
    p.lastLength = p.writePos;
    DiscardHeldReply(s);
  }
  ChannelWriter& trace = s.out(Channel::DetailedDebug);
  if (p.replySize != 0) {
    // The same request again, and sliding has already found its reply: answer from that.
    trace << "<SUPPRESS (" << p.lastLength << ") " << HexDump(p.requestBytes.data(), p.lastLength) << ">" << crlf;
  } else {
    const bool tracing = Tracing(s);
    if (lengthFramed || p.proxyOn) {
      const uint32_t following = length + kCrcBytes + (p.proxyOn ? kProxyHeader : 0);
      const uint8_t header[2] = {wire::kLengthMarker, static_cast<uint8_t>(following)};
      TransmitBlock(s, header, 2);
      if (tracing) trace << "<LENGTH HEADER " << HexDump(header, 2) << "> ";
    }
    if (p.proxyOn) {
      const uint8_t header[kProxyHeader] = {p.proxyAddress, wire::kProxyG, wire::kProxyRequest, p.proxyPort,
                                            static_cast<uint8_t>(length)};
      p.crc.add(header, kProxyHeader);
      TransmitBlock(s, header, kProxyHeader);
      if (tracing) trace << "<PROXY HEADER " << HexDump(header, kProxyHeader) << "> ";
    }
    p.crc.add(p.requestBytes.data(), length);
    TransmitBlock(s, p.requestBytes.data(), length);
    if (tracing) trace << "<SEND (" << length << ") " << HexDump(p.requestBytes.data(), length) << ">";
    const uint16_t crc = p.crc.take();
    const uint8_t crcBytes[kCrcBytes] = {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    TransmitBlock(s, crcBytes, kCrcBytes);
    if (tracing) trace << " <CRC " << hex(crc, 4) << ">" << crlf;
  }
  FlushTransmitBuffer(s);
  p.writePos = 0;
  p.replyReceived = 0;
  p.readPos = 0;
}

// The receive step shared by RecvPacket and RecvPartialPacket.
bool ReceiveReplyBytes(LinkContext& s, uint32_t length) {
  PacketLink& p = s.packet;
  ChannelWriter& debug = s.out(Channel::Debug);
  ChannelWriter& detail = s.out(Channel::DetailedDebug);
  uint32_t wanted = length;
  if (p.replyReceived == 0) wanted += kCrcBytes + (p.proxyOn ? kProxyHeader : 0);
  if (p.replyReceived > PacketLink::kReplySize || wanted > PacketLink::kReplySize - p.replyReceived) {
    // More than the reply buffer holds: refused, nothing is read into it.
    debug << "[RECEIVE SIZE ERROR (" << length << ")] - reply buffer holds " << PacketLink::kReplySize << " bytes"
          << crlf;
    ClearReceivedPacket(s);
    return false;
  }

  // A reply kept by sliding serves first.
  if (p.replySize > p.replyReceived) {
    if (p.replyReceived == 0) p.readPos = p.proxyHeaderSeen ? kProxyHeader : 0;
    const uint32_t taken = std::min(p.replySize - p.replyReceived, wanted);
    p.replyReceived += taken;
    wanted -= taken;
  }

  while (wanted > 0) {
    uint8_t* at = p.replyBytes.data() + p.replyReceived;
    uint32_t got = ReceiveBlock(s, at, wanted);
    if (got == 0) {
      if (p.replyReceived == 0) {
        debug << "[NO DATA]" << crlf;
      } else {
        debug << "[INCOMPLETE RECV (" << p.replySize << ") ";
        detail << HexDump(p.replyBytes.data(), p.replySize);
        debug << "] - missing " << wanted << " bytes" << crlf;
      }
      ClearReceivedPacket(s);
      return false;
    }
    if (got < wanted) {
      const uint32_t size = p.replyReceived + got;
      debug << "[PARTIAL RECV (" << size << ") ";
      detail << HexDump(p.replyBytes.data(), size) << "]" << " {" << TextDump(p.replyBytes.data(), size) << "}";
      debug << " - missing " << (wanted - got) << " bytes" << crlf;
      ClearReceivedPacket(s);
      return false;
    }
    if (p.replyReceived == 0 && got >= 2 && at[0] == wire::kLengthMarker) {
      if (Tracing(s)) detail << "[LENGTH HEADER " << HexDump(at, 2) << "] ";
      std::memmove(at, at + 2, got - 2);
      got -= 2;
    }
    if (p.replyReceived == 0 && p.proxyOn && got >= kProxyHeader) {
      if (at[1] == wire::kProxyG && at[2] == wire::kProxyReply) {
        detail << "[PROXY HEADER " << HexDump(at, kProxyHeader) << "] ";
        p.readPos = kProxyHeader;
        p.proxyHeaderSeen = true;
      } else {
        detail << "[PROXY HEADER MISSING] ";
      }
    }
    p.replyReceived += got;
    p.replySize = p.replyReceived;
    wanted -= got;
  }
  return true;
}

}  // namespace

// ---- requests ----

void BeginPacket(LinkContext& s) { s.packet.writePos = 0; }

void PutPacketByte(LinkContext& s, uint8_t byte) {
  PacketLink& p = s.packet;
  if (p.writePos < p.lastLength && byte == p.requestBytes[p.writePos]) {
    ++p.writePos;  // the new request repeats the previous one so far
    return;
  }
  if (p.writePos < PacketLink::kRequestSize) {
    p.requestBytes[p.writePos++] = byte;
    p.lastLength = p.writePos;
  }
  DiscardHeldReply(s);
}

void SendPacket(LinkContext& s, uint32_t length) { SendFrame(s, length, false); }

void SendLengthFramePacket(LinkContext& s, uint32_t length) { SendFrame(s, length, true); }

bool WaitPacketsSent(LinkContext& s) { return FlushCommPortWrites(s, s.port); }

// ---- replies ----

bool RecvPacket(LinkContext& s, uint32_t length) {
  if (!ReceiveReplyBytes(s, length)) return false;
  PacketLink& p = s.packet;
  if (!FrameIntact(s, p.replyBytes.data(), p.replySize)) {
    TraceBadCrc(s);
    SlidePacket(s);
  }
  p.writePos = 0;
  p.replyReceived = 0;
  return true;
}

bool RecvPartialPacket(LinkContext& s, uint32_t length) { return ReceiveReplyBytes(s, length); }

uint8_t GetPacketByte(LinkContext& s) {
  PacketLink& p = s.packet;
  if (p.readPos >= p.replySize) return 0;
  return p.replyBytes[p.readPos++];
}

bool CheckPacketEnd(LinkContext& s) {
  PacketLink& p = s.packet;
  if (p.replySize < 4) return false;
  bool good = false;
  if (FrameIntact(s, p.replyBytes.data(), p.replySize)) {
    if (Tracing(s)) {
      const bool skipProxy = p.proxyOn && p.proxyHeaderSeen && p.replySize > 8;
      const uint32_t first = skipProxy ? kProxyHeader : 0;
      const uint32_t n = p.replySize - kCrcBytes - first;
      const uint32_t crc = (uint32_t{p.replyBytes[p.replySize - 2]} << 8) | p.replyBytes[p.replySize - 1];
      s.out(Channel::DetailedDebug) << "[RECV (" << n << ") " << HexDump(p.replyBytes.data() + first, n) << "] [CRC "
                                    << hex(crc, 4) << "]" << crlf;
    }
    good = true;
    if (p.readPos != p.replySize - kCrcBytes) {
      s.out(Channel::Debug) << "READ ERROR: final position=" << p.readPos << ", should be at="
                            << (p.replySize - kCrcBytes) << crlf;
      good = false;
    }
    ForgetReply(p);
  } else {
    TraceBadCrc(s);
    SlidePacket(s);  // a reply found here stays held for an identical retry
  }
  p.writePos = 0;
  p.replyReceived = 0;
  p.readPos = 0;
  return good;
}

void ClearReceivedPacket(LinkContext& s) {
  ForgetReply(s.packet);
  s.packet.lastLength = 0;
}

void SlidePacket(LinkContext& s) {
  PacketLink& p = s.packet;
  ChannelWriter& detail = s.out(Channel::DetailedDebug);
  if (p.replySize < kCrcBytes) {
    ForgetReply(p);
    return;
  }
  Clock& clock = s.platform.clock;
  const uint32_t began = clock.tickMs();
  while (clock.tickMs() - began <= kSlideLimitMs) {
    std::memmove(p.replyBytes.data(), p.replyBytes.data() + 1, p.replySize - 1);
    if (ReceiveBlock(s, p.replyBytes.data() + p.replySize - 1, 1) == 0) {
      detail << "[NO MORE DATA FOR SLIDE PACKET (" << (p.replySize - 1) << ") "
             << HexDump(p.replyBytes.data(), p.replySize - 1) << "]" << crlf;
      ForgetReply(p);
      return;
    }
    if (FrameIntact(s, p.replyBytes.data(), p.replySize)) {
      detail << "[SLIDE PACKET GOOD CRC (" << p.replySize << ") " << HexDump(p.replyBytes.data(), p.replySize) << "]"
             << crlf;
      // The window now starts where the reply starts: its proxy header, if any, is here.
      p.proxyHeaderSeen = p.proxyOn && p.replySize >= kProxyHeader && p.replyBytes[1] == wire::kProxyG &&
                          p.replyBytes[2] == wire::kProxyReply;
      p.readPos = p.proxyHeaderSeen ? kProxyHeader : 0;
      return;
    }
  }
  detail << "[SLIDE PACKET TIMEOUT (" << p.replySize << ") " << HexDump(p.replyBytes.data(), p.replySize) << "]"
         << crlf;
  ForgetReply(p);
  FlushCommPortWrites(s, s.port);
}

bool SlideToReplyStart(LinkContext& s, std::span<const uint8_t> start) {
  PacketLink& p = s.packet;
  // Where the reply's own bytes begin: after a proxy header when one must come first.
  auto matches = [&] {
    const uint32_t at = p.proxyOn ? kProxyHeader : 0;
    if (p.replySize < at + start.size()) return false;
    if (p.proxyOn && (p.replyBytes[1] != wire::kProxyG || p.replyBytes[2] != wire::kProxyReply)) return false;
    return std::equal(start.begin(), start.end(), p.replyBytes.begin() + at);
  };
  if (p.replySize == 0) return false;
  if (matches()) return true;
  ChannelWriter& detail = s.out(Channel::DetailedDebug);
  Clock& clock = s.platform.clock;
  const uint32_t began = clock.tickMs();
  while (clock.tickMs() - began <= kSlideLimitMs) {
    std::memmove(p.replyBytes.data(), p.replyBytes.data() + 1, p.replySize - 1);
    if (ReceiveBlock(s, p.replyBytes.data() + p.replySize - 1, 1) == 0) break;
    if (matches()) {
      detail << "[SLIDE PACKET GOOD START (" << p.replySize << ") " << HexDump(p.replyBytes.data(), p.replySize) << "]"
             << crlf;
      p.proxyHeaderSeen = p.proxyOn;
      p.readPos = p.proxyOn ? kProxyHeader : 0;
      return true;
    }
  }
  detail << "[SLIDE PACKET NO START (" << p.replySize << ") " << HexDump(p.replyBytes.data(), p.replySize) << "]"
         << crlf;
  ClearReceivedPacket(s);
  return false;
}

// ---- staging ----

void TransmitBlock(LinkContext& s, const uint8_t* bytes, uint32_t count) {
  PacketLink& p = s.packet;
  const uint32_t free = PacketLink::kStagingSize - p.transmitCount;
  if (free < count) {
    s.out(Channel::Debug) << "<TRANSMIT BUFFER OVERFLOW>" << crlf;
    count = free;
  }
  std::memcpy(p.transmitBuffer.data() + p.transmitCount, bytes, count);
  p.transmitCount += count;
}

bool FlushTransmitBuffer(LinkContext& s) {
  PacketLink& p = s.packet;
  if (p.transmitCount == 0) return true;
  const long accepted = WriteCommPortOverlapped(s, s.port, p.transmitBuffer.data(), p.transmitCount);
  if (accepted != static_cast<long>(p.transmitCount)) {
    s.out(Channel::Debug) << "<TRANSMIT FAIL>" << crlf;
    if (accepted > 0) {
      // What the port took is gone; only the rest waits for the next frame.
      const auto taken = static_cast<uint32_t>(accepted);
      std::memmove(p.transmitBuffer.data(), p.transmitBuffer.data() + taken, p.transmitCount - taken);
      p.transmitCount -= taken;
      p.bytesSent += taken;
    }
    return false;
  }
  p.bytesSent += p.transmitCount;
  p.transmitCount = 0;
  return true;
}

long FillReceiveBuffer(LinkContext& s) {
  PacketLink& p = s.packet;
  const uint32_t free = PacketLink::kStagingSize - p.receiveCount;
  const long n = ReadCommPortOverlapped(s, s.port, p.receiveBuffer.data() + p.receiveCount, free);
  if (n < 0) {
    s.out(Channel::Debug) << "[RECEIVE FAIL]" << crlf;
    return -1;
  }
  p.receiveCount += static_cast<uint32_t>(n);
  p.bytesReceived += static_cast<uint32_t>(n);
  return n;
}

uint32_t ReceiveBlock(LinkContext& s, uint8_t* destination, uint32_t count) {
  PacketLink& p = s.packet;
  count = std::min(count, PacketLink::kStagingSize);
  Clock& clock = s.platform.clock;
  const uint32_t began = clock.tickMs();
  while (p.receiveCount < count) {
    if (clock.tickMs() - began > s.portSettings.replyTimeout) break;
    WaitForBytes(s, kWaitStepMs);
    if (FillReceiveBuffer(s) < 0) break;  // a failed port delivers nothing more: stop waiting
  }
  const uint32_t taken = std::min(count, p.receiveCount);
  std::memcpy(destination, p.receiveBuffer.data(), taken);
  std::memmove(p.receiveBuffer.data(), p.receiveBuffer.data() + taken, p.receiveCount - taken);
  p.receiveCount -= taken;
  return taken;
}

}  // namespace kl
