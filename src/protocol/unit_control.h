// Remote calls that steer a unit: restart, readiness, Modbus address, port kind, remote unit
// and debug-log lists, the downloaded programmer's version, configuration, buffer size and
// erasing, and whether the unit takes update files.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/unit.h"

namespace kl {

struct Session;

bool GetModbusAddress(Session& s, Unit& unit, uint8_t& address);
bool IsVComPort(Session& s, Unit& unit);
bool GetBufferSize(Session& s, Unit& unit);
bool GetProgrammerVersion(Session& s, Unit& unit);
bool ConfigureProgrammer(Session& s, Unit& unit, uint8_t value);
bool Reset(Session& s, Unit& unit);
bool ResetSystem(Session& s, Unit& unit);
bool EraseRange(Session& s, Unit& unit, uint32_t first, uint32_t last);
bool EraseFMS(Session& s, Unit& unit, uint8_t selector);
bool ListRemoteUnits(Session& s, std::vector<uint8_t>& ids);
bool GetDebugLogs(Session& s, Unit& unit, std::vector<uint16_t>& fileIds);
void WaitForUnit(Session& s, Unit& unit);
bool CheckUpdateFileSupport(Session& s, Unit& unit);
bool BootLoaderOlderThanNew(const Unit& unit);

}  // namespace kl
