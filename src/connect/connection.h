// Turning a found unit into a usable connection, rebooting it into its boot loader, and
// finding it again after a restart.
#pragma once

namespace kl {

struct TargetContext;
struct Unit;

bool ConnectToUnit(TargetContext& s, Unit& unit);
bool WaitForBootLoader(TargetContext& s, Unit& unit);
// A flash programmer an earlier run left running is restarted as a power cycle would, unless
// `keepRunningProgrammer`: the unit is then left with it (modeFlashProgrammer), for an update
// that must finish a boot loader that programmer was writing.
bool InitialiseForUpdate(TargetContext& s, Unit& unit, bool keepRunningProgrammer = false);
bool ReconnectToUnit(TargetContext& s, Unit& unit);
// Asks the application at the current unit ID to restart into its boot loader.
bool GotoBootLoader(TargetContext& s);
// Copies what identifies a unit (mode, address, card, versions, serial number, boot loader,
// checksums, MCU type, family) from `from`; image references and buffer size stay.
void CopyUnitIdentity(Unit& to, const Unit& from);

}  // namespace kl
