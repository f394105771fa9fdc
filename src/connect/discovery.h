// Finding the port and the unit: candidate ports, then fixed probes at fixed speeds.
#pragma once

namespace kl {

struct TargetContext;
struct Unit;

void FindPortAndUnit(TargetContext& s, Unit& unit);
bool SearchEnvironmentPorts(TargetContext& s, Unit& unit);
bool SearchAllPorts(TargetContext& s, Unit& unit);
bool FindUnit(TargetContext& s, Unit& unit);
// The blank-chip check inside FindUnit.
enum class LpcSyncResult { Found, NotFound, PortError };
LpcSyncResult LpcIspSync(TargetContext& s, Unit& unit);
bool ProbeCts(TargetContext& s);

}  // namespace kl
