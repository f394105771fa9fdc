#include "sim/unit/frame.h"

#include "wire/crc16.h"
#include "wire/frame.h"

namespace kl::sim {

std::optional<Frame> decodeFrame(const std::vector<uint8_t>& bytes) {
  Frame frame;
  size_t start = 0;
  if (bytes.size() >= 2 && bytes[0] == wire::kLengthMarker) {
    frame.lengthFramed = true;
    start = 2;
  }
  if (bytes.size() < start + 4) return std::nullopt;
  if (wire::crc16(bytes.data() + start, bytes.size() - start) != 0) return std::nullopt;
  std::vector<uint8_t> content(bytes.begin() + static_cast<long>(start), bytes.end() - 2);
  const size_t header = wire::kProxyHeaderSize;
  if (frame.lengthFramed && content.size() > header && content[1] == wire::kProxyG &&
      (content[2] == wire::kProxyRequest || content[2] == wire::kProxyReply) &&
      content[4] == static_cast<uint8_t>(content.size() - header)) {
    std::array<uint8_t, 5> proxy{};
    for (size_t i = 0; i < header; ++i) proxy[i] = content[i];
    frame.proxyHeader = proxy;
    content.erase(content.begin(), content.begin() + static_cast<long>(header));
  }
  frame.payload = std::move(content);
  frame.raw = bytes;
  return frame;
}

std::vector<uint8_t> encodeFrame(const std::vector<uint8_t>& payload, bool lengthFramed,
                                 const std::optional<std::array<uint8_t, 5>>& proxyHeader) {
  std::vector<uint8_t> out;
  const size_t body = payload.size() + 2 + (proxyHeader ? proxyHeader->size() : 0);
  out.reserve(body + 2);
  if (lengthFramed || proxyHeader) {
    out.push_back(wire::kLengthMarker);
    out.push_back(static_cast<uint8_t>(body));
  }
  const size_t crcStart = out.size();
  if (proxyHeader) {
    for (uint8_t byte : *proxyHeader) out.push_back(byte);
  }
  out.insert(out.end(), payload.begin(), payload.end());
  const uint16_t crc = wire::crc16(out.data() + crcStart, out.size() - crcStart);
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  return out;
}

}  // namespace kl::sim
