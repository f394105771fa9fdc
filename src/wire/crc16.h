// CRC-16/MODBUS: reflected polynomial A001, initial FFFF, no final XOR. Frames carry it low
// byte first; a frame is intact when the CRC over all its bytes, CRC included, is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kl::wire {

inline constexpr uint16_t kCrcInitial = 0xFFFF;

constexpr uint16_t crc16Update(uint16_t crc, uint8_t byte) {
  crc ^= byte;
  for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  return crc;
}

constexpr uint16_t crc16(const uint8_t* bytes, size_t count, uint16_t crc = kCrcInitial) {
  for (size_t i = 0; i < count; ++i) crc = crc16Update(crc, bytes[i]);
  return crc;
}

// `payload` with its CRC appended, low byte first: a whole frame.
inline std::vector<uint8_t> Framed(std::vector<uint8_t> payload) {
  const uint16_t crc = crc16(payload.data(), payload.size());
  payload.push_back(static_cast<uint8_t>(crc & 0xFF));
  payload.push_back(static_cast<uint8_t>(crc >> 8));
  return payload;
}

}  // namespace kl::wire
