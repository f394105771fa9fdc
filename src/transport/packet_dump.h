// The byte dumps of packet traces: at most 17 bytes, then "...".
#pragma once

#include <cstdint>
#include <string>

namespace kl {

// "01 45 10 1B": two upper-case hexadecimal digits a byte, one blank between.
std::string HexDump(const uint8_t* bytes, uint32_t count);
// Each byte as its character, "_" for bytes below 32 or above 127.
std::string TextDump(const uint8_t* bytes, uint32_t count);

}  // namespace kl
