// One frame as a unit sees it on its line: optional length header, optional proxy header,
// the request or reply bytes, and a CRC-16 that covers the proxy header and those bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kl::sim {

struct Frame {
  bool lengthFramed = false;
  std::optional<std::array<uint8_t, 5>> proxyHeader;
  std::vector<uint8_t> payload;  // address, function byte, ... (no headers, no CRC)
  std::vector<uint8_t> raw;      // the frame exactly as it arrived

  uint8_t address() const { return payload.empty() ? 0 : payload[0]; }
  uint8_t function() const { return payload.size() < 2 ? 0 : payload[1]; }
  uint16_t command() const {
    return payload.size() < 4 ? 0 : static_cast<uint16_t>(payload[2] << 8 | payload[3]);
  }
};

// Decodes a complete run of bytes; nothing when the CRC is wrong or the frame is too short.
std::optional<Frame> decodeFrame(const std::vector<uint8_t>& bytes);

// Builds the bytes of a frame: [F1 count] [proxy header] payload CRC(lo, hi).
std::vector<uint8_t> encodeFrame(const std::vector<uint8_t>& payload, bool lengthFramed,
                                 const std::optional<std::array<uint8_t, 5>>& proxyHeader = std::nullopt);

// Big-endian helpers for building replies.
inline void putU16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
inline void putU32(std::vector<uint8_t>& out, uint32_t v) {
  putU16(out, v >> 16);
  putU16(out, v & 0xFFFF);
}
inline uint16_t readU16(std::span<const uint8_t> in, size_t at) {
  return static_cast<uint16_t>(in[at] << 8 | in[at + 1]);
}
inline uint32_t readU32(std::span<const uint8_t> in, size_t at) {
  return static_cast<uint32_t>(in[at]) << 24 | static_cast<uint32_t>(in[at + 1]) << 16 |
         static_cast<uint32_t>(in[at + 2]) << 8 | in[at + 3];
}

}  // namespace kl::sim
