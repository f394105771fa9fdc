#include "sim/line/hop_line.h"

#include <algorithm>

#include "sim/line/line_timing.h"

namespace kl::sim {

HopLine::HopLine(Scheduler& scheduler, LineFormat nearFormat, LineFormat farFormat, uint64_t seed)
    : scheduler_(scheduler), random_(seed), near_(*this, nearFormat), far_(*this, farFormat) {
  near_.other = &far_;
  far_.other = &near_;
}

void HopLine::connect(LineDevice& nearDevice, LineDevice& farDevice) {
  near_.device = &nearDevice;
  far_.device = &farDevice;
  nearDevice.attach(near_);
  farDevice.attach(far_);
}

void HopLine::End::send(const uint8_t* bytes, size_t count) {
  uint64_t at = std::max(line_.scheduler_.nowUs(), busyUntilUs_);
  const uint64_t perByte = byteTimeUs(format_);
  for (size_t i = 0; i < count; ++i) {
    at += perByte;
    const uint8_t byte = bytes[i];
    // The receiving end judges the byte by its own format at the moment it completes.
    line_.scheduler_.at(at, [this, byte] {
      if (!other->device) return;
      if (other->format() == format_) {
        other->device->receive(byte, false);
      } else {
        other->device->receive(static_cast<uint8_t>(line_.random_()), true);
      }
    });
  }
  busyUntilUs_ = at;
}

bool HopLine::End::sending() const { return busyUntilUs_ > line_.scheduler_.nowUs(); }

}  // namespace kl::sim
