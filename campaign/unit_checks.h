// What a simulated unit must hold after a run: checks that name the first thing found wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/storage/manufacturing_fields.h"
#include "sim/unit/unit.h"

namespace kl::campaign {

using Problem = std::optional<std::string>;

// The carried software in flash byte for byte and reported after the unit's restart, and its
// card's files on its drives as carried.
Problem CarriedReleaseProblem(sim::Unit& unit);
// The boot loader's block holds what it held before, or the carried boot loader.
Problem BootBlockProblem(const sim::Unit& unit, const std::vector<uint8_t>& before);
// Both copies of the manufacturing fields as expected (nothing: the unit keeps none).
Problem FieldsProblem(const sim::Unit& unit, const std::optional<sim::FieldBytes>& expected);
// MCU flash exactly as before: nothing was written.
Problem UnchangedProblem(const sim::Unit& unit, const std::vector<uint8_t>& flashBefore);

std::vector<uint8_t> BootBlock(const sim::Unit& unit);
std::optional<sim::FieldBytes> Fields(const sim::Unit& unit);

}  // namespace kl::campaign
