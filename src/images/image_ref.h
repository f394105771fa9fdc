// A reference to one carried image: where its bytes start and how many there are. Images are
// constant data; a reference is copied, the bytes never are.
#pragma once

#include <cstdint>
#include <span>

namespace kl {

struct ImageRef {
  const uint8_t* start = nullptr;  // null: nothing selected
  uint32_t length = 0;

  bool empty() const { return start == nullptr; }
  std::span<const uint8_t> bytes() const { return {start, length}; }
  friend bool operator==(const ImageRef&, const ImageRef&) = default;
};

}  // namespace kl
