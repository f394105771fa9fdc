// What the transfers keep across calls: send windows and modes, the open remote file and the
// manufacturing fields.
#pragma once

#include "protocol/target_context.h"
#include "transfer/transfer_state.h"
#include "transfer/unit_storage_state.h"

namespace kl {

struct TransferContext : TargetContext {
  explicit TransferContext(Platform& p) : TargetContext(p) {}

  // Send windows and modes of the programmer download and the flash writer.
  TransferState transfer;
  // The open remote file, the loaded manufacturing fields and the backup of the unit's fields.
  UnitStorageState storage;
};

}  // namespace kl
