// Turning a found unit into a usable connection, rebooting it into its boot loader, and
// finding it again after a restart.
#pragma once

namespace kl {

struct Session;
struct Unit;

bool ConnectToUnit(Session& s, Unit& unit);
bool WaitForBootLoader(Session& s, Unit& unit);
bool InitialiseForUpdate(Session& s, Unit& unit);
bool ReconnectToUnit(Session& s, Unit& unit);

}  // namespace kl
