// The digests a unit computes over a file of its flash drive: the four checksums it reports
// with the file's attributes, the file CRC (CRC-16/MODBUS with its bytes exchanged) that the
// program stores in a file's properties, and the Fletcher-32 checksum appended to update files.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kl::sim {

// Words of 4 bytes (least significant first), in groups of 64 completed with zero words.
std::array<uint32_t, 4> fileChecksums(std::span<const uint8_t> bytes);
uint16_t fileCrc(std::span<const uint8_t> bytes);
// Over 16-bit words, high byte first, folded every 718 bytes; sums start at 0xFFFF.
uint32_t fletcher32(std::span<const uint8_t> bytes);

}  // namespace kl::sim
