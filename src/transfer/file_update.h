// Bringing a file on a unit's flash drive up to date: deciding from its attributes whether it
// differs, rewriting it (optionally storing its CRC and reading it back), and sending update
// files with a CRC or checksum appended.
#pragma once

#include <cstdint>

namespace kl {

struct TransferContext;
struct Unit;

enum class AppendKind : uint8_t { Nothing = 0, Crc = 1, Checksum = 2 };

// The packet address for file operations: the unit's own in its application, the boot loader's
// while the flash programmer runs; any other mode ends the run.
uint8_t FileAccessAddress(TransferContext& s, const Unit& unit);

// True when the file must be written: -w, no answer, a different size, checksums or (with
// `compareCrc`) stored CRC, or damaged properties.
bool IsFileDifferent(TransferContext& s, const Unit& unit, uint8_t drive, uint16_t file, const uint8_t* data,
                     uint32_t length, bool compareCrc);
// Rewrites the file; with -v reads it back, and a difference ends the run.
bool UpdateFile(TransferContext& s, const Unit& unit, uint8_t drive, uint16_t file, const uint8_t* data,
                uint32_t length, bool storeCrc);
// Writes the data and the appended digest; with -v reads the data back and reports differences.
bool SendFile(TransferContext& s, const Unit& unit, uint8_t drive, uint16_t file, const uint8_t* data, uint32_t length,
              AppendKind append);

}  // namespace kl
