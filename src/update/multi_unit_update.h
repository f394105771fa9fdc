// The field update of a unit that lists further units on its network.
#pragma once

#include <cstdint>
#include <vector>

namespace kl {

struct Session;
struct Unit;

// Updates the connected unit and the units at `addresses` (as ListRemoteUnits gave them).
// True when a unit could not be updated.
bool MultiUnitUpdate(Session& s, Unit& unit, const std::vector<uint8_t>& addresses);

}  // namespace kl
