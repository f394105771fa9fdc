#include "transport/packet_dump.h"

#include "Pellmar/writers.h"

namespace kl {

namespace {
constexpr uint32_t kDumpBytes = 17;
}

std::string HexDump(const uint8_t* bytes, uint32_t count) {
  std::string text;
  for (uint32_t i = 0; i < count && i < kDumpBytes; ++i) {
    if (i > 0) text += ' ';
    text += hexText(bytes[i], 2);
  }
  if (count > kDumpBytes) text += "...";
  return text;
}

std::string TextDump(const uint8_t* bytes, uint32_t count) {
  std::string text;
  for (uint32_t i = 0; i < count && i < kDumpBytes; ++i) {
    text += bytes[i] < 32 || bytes[i] > 127 ? '_' : static_cast<char>(bytes[i]);
  }
  if (count > kDumpBytes) text += "...";
  return text;
}

}  // namespace kl
