// The digests by which the program compares and seals unit files: the unit's four checksum
// words, the file CRC stored in a file's properties, and the Fletcher checksum appended to
// update files.
#pragma once

#include <cstdint>

namespace kl {

struct FileChecksumSet {
  uint32_t Checksum1 = 0;
  uint32_t Checksum2 = 0;
  uint32_t Checksum3 = 0;
  uint32_t Checksum4 = 0;
  friend bool operator==(const FileChecksumSet&, const FileChecksumSet&) = default;
};

// Continues the four words over `data` as the unit computes them: little-endian words in
// groups of 64, the last group completed with zero words. Start from a zero set.
void FileChecksums(const uint8_t* data, uint32_t length, FileChecksumSet& sums);
// CRC-16/MODBUS of the bytes with its two bytes exchanged (the CRC's low byte is the result's
// high byte).
uint16_t FileCrc(const uint8_t* data, uint32_t length);
// Fletcher-32 over big-endian 16-bit words.
uint32_t FileFletcher(const uint8_t* data, uint32_t length);

}  // namespace kl
