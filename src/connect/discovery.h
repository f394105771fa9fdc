// Finding the port and the unit: candidate ports, then fixed probes at fixed speeds.
#pragma once

namespace kl {

struct Session;
struct Unit;

void FindPortAndUnit(Session& s, Unit& unit);
bool SearchEnvironmentPorts(Session& s, Unit& unit);
bool SearchAllPorts(Session& s, Unit& unit);
bool FindUnit(Session& s, Unit& unit);
// The blank-chip check inside FindUnit.
enum class LpcSyncResult { Found, NotFound, PortError };
LpcSyncResult LpcIspSync(Session& s, Unit& unit);
bool ProbeCts(Session& s);

}  // namespace kl
