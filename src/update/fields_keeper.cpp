#include "update/fields_keeper.h"

#include <algorithm>

#include "driver/fatal_error.h"
#include "transfer/manufacturing_fields.h"
#include "update/session.h"

namespace kl {

namespace {

constexpr const char* kNotRestored = "Unable to restore the manufacturing fields (a copy is kept on this PC for the next run)";

bool SameCopy(const RecoveryRecord& a, const RecoveryRecord& b) {
  return a.areaFirst == b.areaFirst && a.areaSize == b.areaSize &&
         std::equal(a.area.begin(), a.area.begin() + a.areaSize, b.area.begin());
}

int32_t KnownSerial(const Unit& unit) { return unit.serialNumberRead ? unit.serialNumber : 0; }

}  // namespace

FieldsKeeper::FieldsKeeper(Session& s, Unit& unit) : s_(s), unit_(unit) {
  records_ = FindRecoveryRecords(s, unit);
  // Only one copy of valid fields may be written into a unit that cannot tell its own: two
  // different ones are two units, and the wrong one would give it another unit's identity.
  for (const StoredRecord& stored : records_) {
    if (!stored.record.fieldsHeld) continue;
    if (copy_ && !SameCopy(copy_->record, stored.record)) {
      ambiguous_ = true;
      copy_.reset();
      break;
    }
    if (!copy_) copy_ = stored;
  }
}

bool FieldsKeeper::bootLoaderUnfinished() const {
  return std::any_of(records_.begin(), records_.end(),
                     [](const StoredRecord& r) { return r.record.phase == RecoveryRecord::Phase::BootLoader; });
}

void FieldsKeeper::prepare(bool bootLoader, bool newFieldsFollow) {
  BackupFields& backup = s_.storage.backupFields;
  if (!unit_.hasManufacturingFields) {
    backup.held = false;
  } else {
    if (!ReadBackupFields(s_, unit_)) FatalError(s_, "Unable to read from MCU flash memory");
    // The unit, not the program, knows whether the bytes are fields: ask before anything is
    // erased, so that an erased area is never taken for the fields to keep.
    uint8_t verdict = 0;
    if (!PreserveManufacturingFields(s_, unit_, unit_.serialNumber, &verdict)) {
      FatalError(s_, "Unable to write to MCU flash memory");
    }
    if (FieldsPreserved(verdict)) {
      // A repaired copy changed the area: the backup is taken again.
      if (verdict != 0 && !ReadBackupFields(s_, unit_)) FatalError(s_, "Unable to read from MCU flash memory");
      fieldsValid_ = true;
    } else if (copy_) {
      takeCopy();
      // A boot loader about to be rewritten erases the block again: the copy goes in then.
      if (!bootLoader && !restoreFromBackup()) FatalError(s_, kNotRestored);
    } else if (!newFieldsFollow || ambiguous_) {
      s_.out(Channel::Always) << (ambiguous_ ? "-- this PC keeps manufacturing fields of more than one unit like "
                                               "this one: none of them is written into it"
                                             : "-- the unit has no valid manufacturing fields and this PC keeps no "
                                               "copy of them")
                              << crlf;
    }
  }
  if (bootLoader) save(RecoveryRecord::Phase::BootLoader, fieldsValid_);
}

RestoreStep FieldsKeeper::restoreStep(bool onlyValid) {
  return [this, onlyValid](TransferContext& s, Unit& unit) {
    restoreRan_ = true;
    if (onlyValid && !fieldsValid_) return restored_ = true;
    restored_ = WriteBackupFields(s, unit);
    if (!restored_) {
      s.out(Channel::Always) << "-- the manufacturing fields could not all be written back: the boot loader is "
                                "finished first"
                             << crlf;
    }
    return restored_;
  };
}

void FieldsKeeper::bootLoaderWritten() {
  if (path_) save(RecoveryRecord::Phase::Software, false);
}

void FieldsKeeper::verifyKept() {
  if (!unit_.hasManufacturingFields) {
    forget();
    return;
  }
  uint8_t verdict = 0;
  if (!PreserveManufacturingFields(s_, unit_, unit_.serialNumber, &verdict)) {
    FatalError(s_, "Unable to write to MCU flash memory");
  }
  if (!FieldsPreserved(verdict) && fieldsValid_) {
    s_.out(Channel::Always) << "-- writing the manufacturing fields back once more" << crlf;
    if (!restoreFromBackup()) FatalError(s_, kNotRestored);
  }
  forget();
}

void FieldsKeeper::newFieldsGiven(bool accepted, uint8_t verdict) {
  if (accepted) {
    forget();
    return;
  }
  if (verdict == kFieldsNoAnswer) FatalError(s_, "Unable to write to MCU flash memory");
  // A unit that half wrote the new fields is asked to settle on the copy with its own serial.
  bool kept = false;
  if (fieldsValid_) {
    uint8_t preserved = 0;
    kept = PreserveManufacturingFields(s_, unit_, unit_.serialNumber, &preserved) && FieldsPreserved(preserved);
    if (!kept) kept = restoreFromBackup();
  }
  // The copy on the PC stays only while it holds fields the unit may still need.
  if (kept || !fieldsValid_) forget();
  FatalError(s_, "The unit refused the new manufacturing fields (" + UpdateVerdictText(verdict) + ")" +
                     (kept ? "; its earlier fields are kept" : ""));
}

void FieldsKeeper::takeCopy() {
  const RecoveryRecord& r = copy_->record;
  BackupFields& backup = s_.storage.backupFields;
  backup.buffer.fill(0xFF);
  std::copy_n(r.area.begin(), std::min<uint32_t>(r.areaSize, BackupFields::kCapacity), backup.buffer.begin());
  backup.first = r.areaFirst;
  backup.size = r.areaSize;
  backup.held = true;
  fieldsValid_ = true;
  fromCopy_ = true;
  s_.out(Channel::Always) << "-- the manufacturing fields are written back from the copy kept on this PC ("
                          << (r.serialNumber != 0 ? "serial number " + decimalText(r.serialNumber)
                                                  : std::string("serial number unknown"))
                          << ")" << crlf;
}

bool FieldsKeeper::restoreFromBackup() {
  uint8_t verdict = 0;
  return WriteBackupFields(s_, unit_) && PreserveManufacturingFields(s_, unit_, unit_.serialNumber, &verdict) &&
         FieldsPreserved(verdict);
}

void FieldsKeeper::save(RecoveryRecord::Phase phase, bool required) {
  const std::optional<std::string> saved = SaveRecoveryRecord(s_, RecordOf(s_, unit_, phase, fieldsValid_));
  if (!saved) {
    // Nothing has been erased yet: better no update than fields kept nowhere but in memory.
    if (required) FatalError(s_, "Unable to keep a copy of the manufacturing fields on this PC");
    return;
  }
  if (path_ && *path_ != *saved) RemoveRecoveryRecord(s_, *path_);
  path_ = saved;
}

void FieldsKeeper::forget() {
  const bool usedCopy = fromCopy_;
  if (usedCopy) s_.out(Channel::Always) << "-- manufacturing fields restored" << crlf;
  fromCopy_ = false;
  if (path_) RemoveRecoveryRecord(s_, *path_);
  path_.reset();
  // The fields the unit holds now are valid: what earlier runs kept of this unit is done with.
  const int32_t serial = KnownSerial(unit_);
  for (const StoredRecord& stored : records_) {
    const bool consumed = usedCopy && stored.path == copy_->path;
    if (consumed || (serial != 0 && stored.record.serialNumber == serial)) RemoveRecoveryRecord(s_, stored.path);
  }
  records_.clear();
  copy_.reset();
}

}  // namespace kl
