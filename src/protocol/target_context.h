// The unit the run talks to directly, and what discovery settles about it.
#pragma once

#include <cstdint>

#include "protocol/unit.h"
#include "transport/link_context.h"

namespace kl {

struct TargetContext : LinkContext {
  explicit TargetContext(Platform& p) : LinkContext(p) {}

  // The directly connected unit.
  Unit unit;
  // Where the boot loader answers once the unit has been rebooted into it.
  uint8_t bootLoaderAddress = 1;
  // The connected application takes the extended windowed file write.
  bool newFileProtocol = false;
};

}  // namespace kl
