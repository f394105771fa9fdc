#include "sim/storage/flash_drives.h"

namespace kl::sim {

DriveFile* FlashDrives::find(uint8_t drive, uint16_t file) {
  auto found = files_.find({drive, file});
  return found == files_.end() ? nullptr : &found->second;
}

const DriveFile* FlashDrives::find(uint8_t drive, uint16_t file) const {
  auto found = files_.find({drive, file});
  return found == files_.end() ? nullptr : &found->second;
}

DriveFile* FlashDrives::create(uint8_t drive, uint16_t file) {
  if (!hasDrive(drive)) return nullptr;
  DriveFile& f = files_[{drive, file}];
  f = DriveFile{};
  return &f;
}

}  // namespace kl::sim
