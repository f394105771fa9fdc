// The default job of the program: the field update of the directly connected unit and, through
// it, of the units on its network.
#pragma once

#include "update/update_unit.h"

namespace kl {

struct Session;
struct Unit;

// Old ZA3 displays first get an immediate update of their own; then the units on the network
// (unless `firstUnitOnly`), or the connected unit alone; then the closing line.
void FieldUpdateUnit(Session& s, Unit& unit, bool askFirst, bool firstUnitOnly);

// The connected unit on its own: its information, the update, and its restart into the new
// software. A refused update leaves a unit outside its application restarted.
UpdateOutcome UpdateConnectedUnit(Session& s, Unit& unit, bool askFirst);

// The updated unit starts its new software: restarted, a pause, then found again (fatal when
// it cannot be restarted or found, or runs anything but the carried release).
void RestartIntoNewSoftware(Session& s, Unit& unit);

}  // namespace kl
