// What the PC keeps of a unit while its MCU flash is rewritten: a copy of its manufacturing-field
// area, which unit it came from and which image was being written. A run that fails can leave
// the unit with its fields erased (the block that holds them is erased with the boot loader) or
// with its boot loader half written; a later run on the same unit puts the fields back from
// this record and finishes the boot loader. One private file per unit and copy, beside the
// program.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kl {

struct TransferContext;
struct Unit;

struct RecoveryRecord {
  enum class Phase : uint8_t {
    BootLoader,  // the boot loader (and the fields in its block) is being rewritten
    Software,    // the boot loader is whole; the software or files are being written
  };
  static constexpr uint32_t kAreaCapacity = 512;

  // The unit it came from.
  uint16_t cardNumber = 0;
  uint16_t circuitCode = 0;
  uint8_t mcuType = 0;
  int32_t serialNumber = 0;  // 0: the unit did not report one
  uint8_t bootLoaderRelease = 0;
  Phase phase = Phase::Software;
  // The area holds fields the unit itself called valid before its flash was touched.
  bool fieldsHeld = false;
  uint32_t areaFirst = 0;
  uint32_t areaSize = 0;
  std::array<uint8_t, kAreaCapacity> area{};
};

// A record as found on the PC.
struct StoredRecord {
  std::string path;
  RecoveryRecord record;
};

// The record's identity and copy taken from `unit` and the backup the session holds.
RecoveryRecord RecordOf(TransferContext& s, const Unit& unit, RecoveryRecord::Phase phase, bool fieldsHeld);

// Writes the record to a temporary name, flushes it to the disk and renames it into place,
// never through a link. The record's path, or nothing when it could not be written (the
// cause is on Debug).
std::optional<std::string> SaveRecoveryRecord(TransferContext& s, const RecoveryRecord& record);
void RemoveRecoveryRecord(TransferContext& s, const std::string& path);

// The records that may be this unit's: the same card, circuit and MCU, and the same serial
// number where both sides know one. A record of the unit's own serial number hides those
// that name none. Damaged records are skipped with a line on Always.
std::vector<StoredRecord> FindRecoveryRecords(TransferContext& s, const Unit& unit);

// The record text and back: exposed for the tests of the format.
std::string RecoveryRecordText(const RecoveryRecord& record);
std::optional<RecoveryRecord> ParseRecoveryRecord(const std::string& text);

}  // namespace kl
