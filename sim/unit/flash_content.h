// What a unit's MCU flash holds and what the unit makes of it: the contents a scenario
// declares, images placed into flash, the regions a programmer touches and seals, and the
// identity the unit reports after a restart (from the identity blocks and digest of flash).
#pragma once

#include <cstdint>

#include "sim/storage/image_records.h"
#include "sim/unit/unit_state.h"

namespace kl::sim {

// A declared application occupies this much of the application area (programmed bytes that
// must be erased before a new image goes in); the rest of the area is erased.
inline constexpr uint32_t kDeclaredApplicationBytes = 0x10000;

enum class FieldsCondition : uint8_t { Valid, Erased, MainDamaged, SecondaryDamaged };

// Builds the flash of a scenario unit: programmed stand-in contents for the declared boot
// loader and application, and the manufacturing fields of its serial number.
void fillDeclaredFlash(UnitState& state, FieldsCondition fields);

// Places an image into flash as a finished programmer would leave it (erasing what it spans;
// the manufacturing fields survive); false when it does not lie in the flash.
bool placeImage(UnitState& state, const RecordImage& image);

// A programmer erased or wrote [first, last]: the regions it touches are unsealed. The
// manufacturing-field area belongs to neither region.
void touchFlash(UnitState& state, uint32_t first, uint32_t last);
// The programmer finished: whatever it touched is sealed.
void sealFlash(UnitState& state);

// Re-reads what a restart finds in flash: boot loader generation and release, whether an
// application for this unit is there, its version, release, build increment, checksum and
// CRC, and the serial number in the manufacturing fields.
void refreshIdentity(UnitState& state);

}  // namespace kl::sim
