// Identification calls that fill the Unit record, and the unit information printout.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/unit.h"

namespace kl {

struct TargetContext;

bool Ping(TargetContext& s, uint8_t unitId);
bool ReadBootLoaderVersion(TargetContext& s, Unit& unit);
bool ReadBootLoaderRelease(TargetContext& s, Unit& unit);
bool ReadBasicInfo(TargetContext& s, Unit& unit, uint8_t unitId);
bool ReadUnitInfo(TargetContext& s, Unit& unit);
bool ReadExtendedInfo(TargetContext& s, Unit& unit);
bool ReadAdvancedInfo(TargetContext& s, Unit& unit);

// "6.10r03", or "6.10" on MCU type 2.
std::string SoftwareVersionText(const Unit& unit);
void PrintUnitInfo(TargetContext& s, const Unit& unit, bool brief);
// "07 QV61 ZA3 12345"
std::string UnitLabel(const Unit& unit);

}  // namespace kl
