// The RAM a boot loader downloads a flash programmer into (lost at every restart), and the
// staging buffer that buffered blocks are collected in before they are committed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/storage/mcu_map.h"

namespace kl::sim {

class ProgrammerRam {
 public:
  void reset(const MemoryRange& range) {
    range_ = range;
    bytes_.assign(range.size, 0);
  }
  const MemoryRange& range() const { return range_; }
  // Bytes outside the RAM go nowhere.
  void write(uint32_t address, std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint32_t a = address + static_cast<uint32_t>(i);
      if (range_.contains(a)) bytes_[a - range_.first] = bytes[i];
    }
  }
  // Bytes outside the RAM read 0.
  std::vector<uint8_t> read(uint32_t address, size_t count) const {
    std::vector<uint8_t> out(count, 0);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t a = address + static_cast<uint32_t>(i);
      if (range_.contains(a)) out[i] = bytes_[a - range_.first];
    }
    return out;
  }

 private:
  MemoryRange range_;
  std::vector<uint8_t> bytes_;
};

// Blocks of one record, placed by their offset; committed once every byte has arrived.
class BlockBuffer {
 public:
  explicit BlockBuffer(size_t capacity = 0) : bytes_(capacity), have_(capacity, false) {}
  size_t capacity() const { return bytes_.size(); }
  // False when the block runs past the buffer.
  bool put(uint16_t offset, std::span<const uint8_t> data) {
    if (offset + data.size() > bytes_.size()) return false;
    committed_ = 0;
    for (size_t i = 0; i < data.size(); ++i) {
      bytes_[offset + i] = data[i];
      have_[offset + i] = true;
    }
    return true;
  }
  // The first `total` bytes, when all of them arrived, or when they were just committed and
  // nothing arrived since: a commit sent again after its reply was lost finds them still there.
  bool complete(size_t total) const {
    if (total > bytes_.size()) return false;
    if (total != 0 && total == committed_) return true;
    for (size_t i = 0; i < total; ++i) {
      if (!have_[i]) return false;
    }
    return true;
  }
  std::span<const uint8_t> data(size_t total) const { return std::span<const uint8_t>(bytes_.data(), total); }
  void clear() {
    have_.assign(have_.size(), false);
    committed_ = 0;
  }
  // The next blocks start a new record; the committed bytes stay in the buffer.
  void commit(size_t total) {
    have_.assign(have_.size(), false);
    committed_ = total;
  }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<bool> have_;
  size_t committed_ = 0;
};

}  // namespace kl::sim
