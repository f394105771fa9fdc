// The unit's boot loader: answers at the boot-loader address at its own speed, reports its
// version and release and the size of its receive buffer, downloads a program into RAM
// (plain, large and buffered writes), reads RAM back, changes its speed for the download,
// starts the downloaded program, and restarts the unit on request.
#pragma once

#include "sim/unit/firmware.h"

namespace kl::sim {

class BootLoader : public Firmware {
 public:
  explicit BootLoader(Unit& unit);
  UnitMode mode() const override { return UnitMode::BootLoader; }
  LineFormat format() const override { return LineFormat{baud_, Parity::None}; }
  std::optional<size_t> requestLength(std::span<const uint8_t> payload) const override;
  void onFrame(const Frame& frame) override;

 private:
  uint32_t baud_;
};

// The boot loader's identity queries (ReadBootLoaderVersion, ReadBootLoaderRelease,
// ReadBasicInfo), which a running flash programmer answers the same way: the reply payload,
// or nothing when the query is not one of them or is not answered.
std::optional<std::vector<uint8_t>> bootIdentityReply(const Unit& unit, const Frame& frame);
std::optional<size_t> bootIdentityLength(uint16_t command);

}  // namespace kl::sim
