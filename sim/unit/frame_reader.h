// Cuts the byte stream of a line into frames. A frame ends when the line has been silent for
// more than 3.5 byte times (or a longer configured silence), when its length header says so,
// or when the firmware knows the request's length. Damaged bytes spoil the frame they fall
// into; spoiled frames and frames with a bad CRC are dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "platform/sim/scheduler.h"
#include "sim/line_device.h"
#include "sim/unit/frame.h"

namespace kl::sim {

class FrameReader {
 public:
  // Given the payload bytes received so far (no length header), the payload length of the
  // request they start, when it is known.
  using LengthHint = std::function<std::optional<size_t>(std::span<const uint8_t>)>;
  using Sink = std::function<void(Frame&&)>;

  FrameReader(Scheduler& scheduler, Sink sink) : scheduler_(scheduler), sink_(std::move(sink)) {}

  void setLengthHint(LengthHint hint) { hint_ = std::move(hint); }
  void setFormat(const LineFormat& format) { format_ = format; }
  void setMinimumSilenceUs(uint64_t us) { minimumSilenceUs_ = us; }
  void push(uint8_t byte, bool damaged);
  // Forgets a partly received frame (power loss, change of firmware).
  void reset();

 private:
  void finish();
  bool completeEarly() const;
  uint64_t silenceUs() const;

  Scheduler& scheduler_;
  Sink sink_;
  LengthHint hint_;
  LineFormat format_;
  uint64_t minimumSilenceUs_ = 0;
  std::vector<uint8_t> bytes_;
  bool spoiled_ = false;
  uint64_t generation_ = 0;
};

}  // namespace kl::sim
