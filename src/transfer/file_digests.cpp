#include "transfer/file_digests.h"

#include <bit>

#include "wire/crc16.h"

namespace kl {

namespace {

constexpr uint32_t kWordsPerGroup = 64;
constexpr uint32_t kFletcherFoldBytes = 718;

uint32_t Rotr(uint32_t value) { return std::rotr(value, 1); }

uint32_t WordAt(const uint8_t* data, uint32_t length, uint32_t index) {
  uint32_t word = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t at = index * 4 + i;
    if (at < length) word |= uint32_t{data[at]} << (8 * i);
  }
  return word;
}

uint32_t Fold(uint32_t value) { return (value & 0xFFFF) + (value >> 16); }

}  // namespace

void FileChecksums(const uint8_t* data, uint32_t length, FileChecksumSet& sums) {
  const uint32_t words = (length + 3) / 4;
  const uint32_t padded = (words + kWordsPerGroup - 1) / kWordsPerGroup * kWordsPerGroup;
  for (uint32_t n = 0; n < padded; ++n) {
    const uint32_t w = n < words ? WordAt(data, length, n) : 0;
    const uint32_t j = n % kWordsPerGroup;
    if (j % 2 == 0) {
      sums.Checksum1 += w;
      if ((j & 2) == 0) {
        sums.Checksum2 = w ^ Rotr(sums.Checksum2);
      } else {
        sums.Checksum3 = w ^ Rotr(sums.Checksum3);
      }
    } else {
      if ((j & 2) == 2) {
        sums.Checksum2 = Rotr(sums.Checksum2) ^ w;
      } else {
        sums.Checksum3 = Rotr(sums.Checksum3) ^ w;
      }
      sums.Checksum4 += w;
    }
  }
}

uint16_t FileCrc(const uint8_t* data, uint32_t length) {
  const uint16_t crc = wire::crc16(data, length);
  return static_cast<uint16_t>((crc >> 8) | (crc << 8));
}

uint32_t FileFletcher(const uint8_t* data, uint32_t length) {
  uint32_t sum1 = 0xFFFF;
  uint32_t sum2 = 0xFFFF;
  uint32_t sinceFold = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (sinceFold % 2 == 0) {
      sum1 += uint32_t{data[i]} << 8;
    } else {
      sum1 += data[i];
      sum2 += sum1;
    }
    if (++sinceFold == kFletcherFoldBytes) {
      sum1 = Fold(sum1);
      sum2 = Fold(sum2);
      sinceFold = 0;
    }
  }
  // A last odd byte is a word with a zero low byte.
  if (sinceFold % 2 == 1) sum2 += sum1;
  sum1 = Fold(Fold(sum1));
  sum2 = Fold(Fold(sum2));
  return (sum2 << 16) | sum1;
}

}  // namespace kl
