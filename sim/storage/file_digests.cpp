#include "sim/storage/file_digests.h"

#include "wire/crc16.h"

namespace kl::sim {

namespace {

uint32_t rotateRight(uint32_t x) { return x >> 1 | x << 31; }

}  // namespace

std::array<uint32_t, 4> fileChecksums(std::span<const uint8_t> bytes) {
  std::array<uint32_t, 4> c{};
  const size_t words = (bytes.size() + 3) / 4;
  const size_t padded = (words + 63) / 64 * 64;
  for (size_t k = 0; k < padded; ++k) {
    uint32_t w = 0;
    for (size_t i = 0; i < 4; ++i) {
      const size_t at = k * 4 + i;
      if (at < bytes.size()) w |= static_cast<uint32_t>(bytes[at]) << (8 * i);
    }
    const size_t j = k % 64;
    if (j % 2 == 0) {
      c[0] += w;
      if ((j & 2) == 0) {
        c[1] = w ^ rotateRight(c[1]);
      } else {
        c[2] = w ^ rotateRight(c[2]);
      }
    } else {
      if ((j & 2) == 2) {
        c[1] = rotateRight(c[1]) ^ w;
      } else {
        c[2] = rotateRight(c[2]) ^ w;
      }
      c[3] += w;
    }
  }
  return c;
}

uint16_t fileCrc(std::span<const uint8_t> bytes) {
  const uint16_t crc = wire::crc16(bytes.data(), bytes.size());
  return static_cast<uint16_t>(crc << 8 | crc >> 8);
}

uint32_t fletcher32(std::span<const uint8_t> bytes) {
  uint32_t sum1 = 0xFFFF, sum2 = 0xFFFF;
  auto fold = [](uint32_t x) { return (x & 0xFFFF) + (x >> 16); };
  size_t counter = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (counter % 2 == 0) {
      sum1 += static_cast<uint32_t>(bytes[i]) << 8;
    } else {
      sum1 += bytes[i];
      sum2 += sum1;
    }
    if (++counter == 718) {
      sum1 = fold(sum1);
      sum2 = fold(sum2);
      counter = 0;
    }
  }
  if (counter % 2 == 1) sum2 += sum1;
  sum1 = fold(fold(sum1));
  sum2 = fold(fold(sum2));
  return sum2 << 16 | sum1;
}

}  // namespace kl::sim
