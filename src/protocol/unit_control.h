// Remote calls that steer a unit: restart, readiness, Modbus address, port kind, remote unit
// and debug-log lists, the downloaded programmer's version, configuration, buffer size and
// erasing, and whether the unit takes update files.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/unit.h"

namespace kl {

struct TargetContext;

bool GetModbusAddress(TargetContext& s, Unit& unit, uint8_t& address);
bool IsVComPort(TargetContext& s, Unit& unit);
bool GetBufferSize(TargetContext& s, Unit& unit);
bool GetProgrammerVersion(TargetContext& s, Unit& unit);
bool ConfigureProgrammer(TargetContext& s, Unit& unit, uint8_t value);
bool Reset(TargetContext& s, Unit& unit);
bool ResetSystem(TargetContext& s, Unit& unit);
bool EraseRange(TargetContext& s, Unit& unit, uint32_t first, uint32_t last);
bool EraseFMS(TargetContext& s, Unit& unit, uint8_t selector);
bool ListRemoteUnits(TargetContext& s, std::vector<uint8_t>& ids);
bool GetDebugLogs(TargetContext& s, Unit& unit, std::vector<uint16_t>& fileIds);
void WaitForUnit(TargetContext& s, Unit& unit);
bool CheckUpdateFileSupport(TargetContext& s, Unit& unit);
bool BootLoaderOlderThanNew(const Unit& unit);

}  // namespace kl
