// Update files: the boot loader, software, manufacturing fields and resource file a unit is
// sent on drive 1, with the flash programmer on drive 0xC1. At its next restart the unit runs
// that programmer (when it fits, with an intact CRC) and applies every intact update file that
// is meant for it: flash rewritten, fields stored, resources moved to their drive. The update
// files and the programmer are then removed; without a fitting programmer nothing happens.
#pragma once

#include <string>
#include <vector>

#include "sim/unit/programmer_table.h"
#include "sim/unit/unit_state.h"

namespace kl::sim {

inline constexpr uint8_t kUpdateDrive = 1;
inline constexpr uint16_t kFieldsUpdate = 0x0101;
inline constexpr uint16_t kBootLoaderUpdate = 0x0102;
inline constexpr uint16_t kSoftwareUpdate = 0x0103;
inline constexpr uint16_t kResourceUpdate = 0x0104;
inline constexpr uint8_t kProgrammerDrive = 0xC1;
inline constexpr uint8_t kResourceDrive = 0xB1;

// Applies what there is; returns a line for the trace per update file (empty: none pending).
std::vector<std::string> applyUpdateFiles(UnitState& state, uint8_t family);

// A resource file as the unit keeps it (complemented), from its files: number, bytes.
std::vector<uint8_t> storedResourceFile(const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& files);

}  // namespace kl::sim
