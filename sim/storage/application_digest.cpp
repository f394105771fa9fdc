#include "sim/storage/application_digest.h"

#include "wire/crc16.h"

namespace kl::sim {

ApplicationDigest DigestOfApplication(const McuFlash& flash) {
  ApplicationDigest digest{0, wire::kCrcInitial};
  if (!flash.memory()) return digest;
  for (const MemoryRange& area : ApplicationArea(*flash.memory())) {
    if (area.size == 0) continue;
    const std::vector<uint8_t> bytes = flash.read(area.first, area.size);
    digest.crc = wire::crc16(bytes.data(), bytes.size(), digest.crc);
    // The areas are whole words on every chip modelled.
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
      digest.checksum += static_cast<uint32_t>(bytes[i]) | static_cast<uint32_t>(bytes[i + 1]) << 8 |
                         static_cast<uint32_t>(bytes[i + 2]) << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24;
    }
  }
  return digest;
}

}  // namespace kl::sim
