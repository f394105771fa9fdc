// Updating a unit on the connected unit's network: with update files, which it applies when
// it restarts, since only the connected unit can be taken into its boot loader.
#pragma once

namespace kl {

struct Session;
struct Unit;

// Identifies the unit at `unit.address` (a cleared record holding mode and address), shows it
// and sends it the update. True when the update ran; false, with the reason and what the
// technician can do, when the unit does not answer or cannot take update files, and when a
// transfer to it failed (which does not end the run).
bool RemoteUpdateUnit(Session& s, Unit& unit, bool askFirst);

// True when the unit can take the software as update files; otherwise shows the unit and why.
bool RemoteUpdatePossible(Session& s, Unit& unit);

}  // namespace kl
