// The manufacturing fields: an enciphered serial number and secret keys that the factory
// writes into a unit's MCU flash. The program carries them as opaque bytes: loads them from
// the parameter file, asks the unit to check, write or preserve them, and keeps a backup of
// their flash area while MCU flash is rewritten around it.
#pragma once

#include <cstdint>
#include <string>

#include "transfer/unit_storage_state.h"

namespace kl {

struct TransferContext;
struct Unit;

// Fills `fields` from the parameter file; a missing or malformed value ends the run.
void LoadManufacturingFields(TransferContext& s, ManufacturingFields& fields);

// The application compares the fields with its own; true when it answered.
bool CheckManufacturingFields(TransferContext& s, const Unit& unit, const ManufacturingFields& fields, bool& different);
// The verdict given when the unit did not answer.
inline constexpr uint8_t kFieldsNoAnswer = 0xFF;

// The flash programmer writes the fields; true only when it reports success. `result` (when
// given) takes the unit's verdict, kFieldsNoAnswer when it did not answer.
bool UpdateManufacturingFields(TransferContext& s, const Unit& unit, const ManufacturingFields& fields,
                               uint8_t* result = nullptr);
// The unit's verdict on new fields in words ("invalid key").
std::string UpdateVerdictText(uint8_t result);
// Writes the fields as an update file for units that take update files.
bool SendManufacturingFields(TransferContext& s, const Unit& unit, const ManufacturingFields& fields);
// The flash programmer keeps or repairs the fields; true when it answered, whatever its verdict.
// A verdict that the fields are not valid is written on Always.
bool PreserveManufacturingFields(TransferContext& s, const Unit& unit, int32_t serialNumber, uint8_t* result = nullptr);
// The verdict says the unit holds valid fields now (kept, or repaired from one copy).
bool FieldsPreserved(uint8_t result);

// Copies the unit's field area into the session's backup; the backup is replaced only by a
// complete copy.
bool ReadBackupFields(TransferContext& s, Unit& unit);
// Writes the backup back into the field area: the restore step of MCU flash programming. False
// when no complete backup of this area is held or a block could not be written.
bool WriteBackupFields(TransferContext& s, Unit& unit);

}  // namespace kl
