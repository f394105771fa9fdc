// Keeps a unit's manufacturing fields through the rewrite of its MCU flash by the flash
// programmer. Before anything is erased the fields are backed up, the unit says whether they
// are valid, and (when the boot loader, whose block holds them, is rewritten) a copy is kept
// on the PC; they go back during the boot loader's write and the unit vouches for them again
// afterwards. Fields a failed run left erased are put back from the copy that run kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transfer/flash_writer.h"
#include "transfer/recovery_record.h"

namespace kl {

struct Session;
struct Unit;

class FieldsKeeper {
 public:
  // Looks for the copies earlier runs kept of this unit.
  FieldsKeeper(Session& s, Unit& unit);

  // An earlier run stopped while it rewrote this unit's boot loader.
  bool bootLoaderUnfinished() const;
  // This PC keeps a copy of the unit's fields from a run that did not finish: the fields must
  // be looked at even when nothing else is written.
  bool holdsCopy() const { return copy_.has_value(); }

  // With the programmer running, before the first image: the backup, the unit's verdict and
  // the PC's copy, which replaces fields the unit calls invalid. `bootLoader`: the boot
  // loader is about to be rewritten. `newFieldsFollow`: the station's fields are given next.
  void prepare(bool bootLoader, bool newFieldsFollow = false);
  // The restore step for the images' writes. `onlyValid`: fields the unit did not vouch for
  // are not written back (they are about to be replaced).
  RestoreStep restoreStep(bool onlyValid = false);
  // The boot loader is whole again.
  void bootLoaderWritten();
  // After the images, the fields kept: the unit must call them valid; they are written back
  // once more if not. Ends the run when they cannot be restored (the PC's copy stays).
  void verifyKept();
  // After new fields were given to the unit (`verdict` its answer): refused ones end the run,
  // the earlier fields left in place.
  void newFieldsGiven(bool accepted, uint8_t verdict);

 private:
  // The backup becomes the PC's copy.
  void takeCopy();
  bool restoreFromBackup();
  // `required`: the run cannot go on without the copy on the PC.
  void save(RecoveryRecord::Phase phase, bool required);
  void forget();

  Session& s_;
  Unit& unit_;
  std::vector<StoredRecord> records_;
  std::optional<StoredRecord> copy_;  // the one copy of valid fields among records_
  bool ambiguous_ = false;            // ... or more than one, and none is used
  bool fieldsValid_ = false;          // the backup holds fields the unit vouched for
  bool fromCopy_ = false;             // ... taken from the PC's copy
  bool restoreRan_ = false;
  bool restored_ = false;
  std::optional<std::string> path_;   // this run's record
};

}  // namespace kl
