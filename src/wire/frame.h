// The frame layout on the serial line, shared by the program and the simulator.
#pragma once

#include <cstdint>

namespace kl::wire {

// Requests and replies: address, function byte, 16-bit command code (big-endian), payload.
inline constexpr uint8_t kFunctionCall = 0x45;       // "E": a remote procedure call
inline constexpr uint8_t kFunctionPing = 0x41;       // "A"
inline constexpr uint8_t kFunctionPingReply = 0x42;  // "B"
inline constexpr uint8_t kFunctionWindowed = 0x47;   // windowed file transfer
inline constexpr uint8_t kFunctionWindowedAck = 0x48;

// Optional length header in front of a frame: marker, count of the bytes that follow.
inline constexpr uint8_t kLengthMarker = 0xF1;

// Proxy header (after the length header): proxy address, 'G', '>' (request) or '?' (reply),
// proxy port, request length.
inline constexpr uint8_t kProxyG = 0x47;
inline constexpr uint8_t kProxyRequest = 0x3E;
inline constexpr uint8_t kProxyReply = 0x3F;
inline constexpr int kProxyHeaderSize = 5;

inline constexpr uint8_t kDefaultUnitAddress = 0xF0;
inline constexpr uint8_t kBootLoaderAddress = 1;

// Line bits per byte: start bit, 8 data bits, 2 stop bits.
inline constexpr int kBitsPerByte = 11;

}  // namespace kl::wire
