// One run of the program: every layer's part of it, and what only the flows keep.
#pragma once

#include <cstdint>
#include <vector>

#include "transfer/transfer_context.h"

namespace kl {

struct Session final : TransferContext {
  explicit Session(Platform& p) : TransferContext(p) {}

  // The flash programmer the external boot-loader tool wrote for a test board; the unit's
  // programmer image points into it while the unit is updated.
  std::vector<uint8_t> bootToolProgrammer;
  // Clean-up run at any exit while armed: "-- stopped", release the port, close the log.
  bool stopHookArmed = false;
};

}  // namespace kl
