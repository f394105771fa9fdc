// The flash drives of a unit: files by drive and number, each with its bytes and its
// properties (an AA record list). Which drives a unit has is part of what it is.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace kl::sim {

struct DriveFile {
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> properties;
};

class FlashDrives {
 public:
  using Key = std::pair<uint8_t, uint16_t>;  // drive, file number

  void setDrives(std::set<uint8_t> drives) { drives_ = std::move(drives); }
  const std::set<uint8_t>& drives() const { return drives_; }
  bool hasDrive(uint8_t drive) const { return drives_.count(drive) != 0; }

  DriveFile* find(uint8_t drive, uint16_t file);
  const DriveFile* find(uint8_t drive, uint16_t file) const;
  // Creates the file empty, or empties it; nothing when the drive does not exist.
  DriveFile* create(uint8_t drive, uint16_t file);
  void put(uint8_t drive, uint16_t file, DriveFile contents) { files_[{drive, file}] = std::move(contents); }
  void remove(uint8_t drive, uint16_t file) { files_.erase({drive, file}); }
  // The whole file system erased.
  void eraseAll() { files_.clear(); }
  const std::map<Key, DriveFile>& files() const { return files_; }

 private:
  std::set<uint8_t> drives_;
  std::map<Key, DriveFile> files_;
};

}  // namespace kl::sim
