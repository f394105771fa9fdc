// The field update of a unit that lists further units on its network: every unit, the
// connected one included, is sent the carried software as update files, which take effect
// when the units restart, at once or later as the operator chooses.
#pragma once

#include <cstdint>
#include <vector>

namespace kl {

struct Session;
struct Unit;

// Updates the connected unit and the units at `listed` (as ListRemoteUnits gave them). True
// when a unit could not be updated.
bool MultiUnitUpdate(Session& s, Unit& unit, const std::vector<uint8_t>& listed);

}  // namespace kl
