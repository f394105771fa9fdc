// What the run keeps about a unit's storage between calls: the one remote file that is open
// with its window of blocks in flight, the manufacturing fields loaded from the parameter file,
// and the backup copy of the unit's manufacturing-field area. Plain data, one TransferContext member.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace kl {

inline constexpr uint32_t kFileBlockSize = 128;
inline constexpr uint8_t kFileWindowSize = 8;

// A ring of 9 slots of which at most 8 are in use: full when advancing the tail would reach
// the head.
struct FileWindow {
  // One 128-byte block in flight.
  struct WindowSlot {
    uint32_t offset = 0;
    std::array<uint8_t, kFileBlockSize> data{};
    uint8_t count = 0;
    bool received = false;  // reading: the block's reply has arrived
  };

  static constexpr uint8_t kSlots = kFileWindowSize + 1;
  std::array<WindowSlot, kSlots> slots{};
  uint8_t head = 0;
  uint8_t tail = 0;
  uint8_t inFlight = 0;
  uint32_t nextReadOffset = 0;

  static uint8_t after(uint8_t index) { return static_cast<uint8_t>((index + 1) % kSlots); }
  bool empty() const { return head == tail; }
  bool full() const { return after(tail) == head; }
};

struct RemoteFileState {
  bool readOpen = false;
  bool writeOpen = false;
  bool extendedWrite = false;
  FileWindow window;
};

// The four fields as the unit takes them: 40 bytes without gaps, in this order.
struct ManufacturingFields {
  std::array<uint8_t, 4> EncryptedSerialNo{};
  std::array<uint8_t, 2> EncryptedSerialNoCRC{};
  std::array<uint8_t, 32> EncryptedSecretKeys{};
  std::array<uint8_t, 2> EncryptedSecretKeysCRC{};

  static constexpr uint32_t kSize = 40;
  std::array<uint8_t, kSize> bytes() const;
};

// A copy of the unit's manufacturing-field area, read before MCU flash is rewritten and written
// back afterwards. `held` is set only once the whole area was read, and stays set until the
// next backup is read, so a restore never writes anything but a complete copy.
struct BackupFields {
  static constexpr uint32_t kCapacity = 512;
  std::array<uint8_t, kCapacity> buffer{};
  bool held = false;
  uint32_t first = 0;  // the area the copy came from
  uint32_t size = 0;
};

struct UnitStorageState {
  RemoteFileState remoteFile;
  ManufacturingFields manufacturingFields;
  BackupFields backupFields;
};

inline std::array<uint8_t, ManufacturingFields::kSize> ManufacturingFields::bytes() const {
  std::array<uint8_t, kSize> out{};
  auto at = std::copy(EncryptedSerialNo.begin(), EncryptedSerialNo.end(), out.begin());
  at = std::copy(EncryptedSerialNoCRC.begin(), EncryptedSerialNoCRC.end(), at);
  at = std::copy(EncryptedSecretKeys.begin(), EncryptedSecretKeys.end(), at);
  std::copy(EncryptedSecretKeysCRC.begin(), EncryptedSecretKeysCRC.end(), at);
  return out;
}

}  // namespace kl
