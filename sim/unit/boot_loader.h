// The unit's boot loader: answers at the boot-loader address at its own speed, reports its
// version and release, the size of its receive buffer, and restarts the unit on request.
#pragma once

#include "sim/unit/firmware.h"

namespace kl::sim {

class BootLoader : public Firmware {
 public:
  using Firmware::Firmware;
  UnitMode mode() const override { return UnitMode::BootLoader; }
  LineFormat format() const override;
  std::optional<size_t> requestLength(const std::vector<uint8_t>& payload) const override;
  void onFrame(const Frame& frame) override;
};

}  // namespace kl::sim
