#include "sim/unit/frame_reader.h"

#include <algorithm>

#include "sim/line/line_timing.h"
#include "wire/crc16.h"
#include "wire/frame.h"

namespace kl::sim {

uint64_t FrameReader::silenceUs() const {
  return std::max(minimumSilenceUs_, byteTimeUs(format_) * 7 / 2);
}

void FrameReader::push(uint8_t byte, bool damaged) {
  if (damaged) {
    spoiled_ = true;
  } else {
    bytes_.push_back(byte);
  }
  const uint64_t generation = ++generation_;
  if (!spoiled_ && completeEarly()) {
    finish();
    return;
  }
  scheduler_.after(silenceUs(), [this, generation] {
    if (generation == generation_) finish();
  });
}

// A frame whose length is known ends with its last byte, intact or not, so that a damaged
// frame in a burst does not swallow the next one.
bool FrameReader::completeEarly() const {
  if (bytes_.size() < 4) return false;
  if (bytes_[0] == wire::kLengthMarker) return bytes_.size() - 2 == bytes_[1];
  if (!hint_) return false;
  auto length = hint_(std::span<const uint8_t>(bytes_.data(), bytes_.size() - 2));
  return length && *length + 2 == bytes_.size();
}

void FrameReader::finish() {
  ++generation_;
  std::vector<uint8_t> bytes;
  bytes.swap(bytes_);
  const bool spoiled = spoiled_;
  spoiled_ = false;
  if (spoiled || bytes.empty()) return;
  if (auto frame = decodeFrame(bytes)) sink_(std::move(*frame));
}

void FrameReader::reset() {
  ++generation_;
  bytes_.clear();
  spoiled_ = false;
}

}  // namespace kl::sim
