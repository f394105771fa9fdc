// The standard exchange every remote procedure call uses: address, function byte 45,
// 16-bit command code, arguments; the reply echoes the first four bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace kl {

struct Session;

// One call's request: written by `writeArguments` after the four header bytes.
struct CallRequest {
  uint8_t address = 0;
  uint16_t command = 0;
  // Writes the arguments with PutPacketByte/PutPacketWord/PutPacketLong; may be empty.
  std::function<void(Session&)> writeArguments;
  // Number of argument bytes written by writeArguments.
  uint32_t argumentLength = 0;
};

// One attempt of the standard exchange. `replyLength` counts the reply bytes after framing
// (echo included). `readResults` reads every result byte with GetPacketByte (it runs also
// when the receive failed, reading zeros) and returns false when an argument echo differs.
// True only when CheckPacketEnd holds and address, function byte and command are echoed.
bool CallOnce(Session& s, const CallRequest& request, uint32_t replyLength,
              const std::function<bool(Session&)>& readResults = {});

}  // namespace kl
