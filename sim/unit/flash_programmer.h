// A RAM flash programmer running in a unit: it answers at the boot-loader address, starting at
// 115200 baud, and rewrites the unit's MCU flash (erase, plain, windowed and buffered writes),
// backs up and restores the manufacturing fields, gives remote file access to the flash drives
// (and erases them), and reports what it is. A reset of the programmer or of the unit seals
// what it wrote.
#pragma once

#include "sim/unit/file_service.h"
#include "sim/unit/firmware.h"
#include "wire/image_identity.h"

namespace kl::sim {

class FlashProgrammer : public Firmware {
 public:
  FlashProgrammer(Unit& unit, const wire::ImageIdentity& identity);
  UnitMode mode() const override { return UnitMode::FlashProgrammer; }
  LineFormat format() const override { return LineFormat{baud_, Parity::None}; }
  std::optional<size_t> requestLength(std::span<const uint8_t> payload) const override;
  void onFrame(const Frame& frame) override;

 private:
  // Time from now until work taking `costUs` is done, after what is already under way.
  uint64_t work(uint64_t costUs);
  uint8_t writeFlash(uint32_t address, std::span<const uint8_t> data, uint64_t& costUs);
  void windowedWrite(const Frame& frame);
  std::vector<uint8_t> manufacturingFields(const Frame& frame);
  void restart();

  wire::ImageIdentity identity_;
  uint32_t baud_ = 115200;
  uint8_t configuration_ = 0;
  uint64_t busyUntilUs_ = 0;
  int requestsAnswered_ = 0;
  // Windowed writes: the last packet written, so that one sent again is acknowledged again
  // instead of being written twice.
  bool windowStarted_ = false;
  uint16_t lastSequence_ = 0;  // as sent, with the first-chunk bit
  uint32_t lastAddress_ = 0;
  uint8_t lastLength_ = 0;
  uint8_t lastResult_ = 0;
  uint32_t firstAddress_ = 0;  // of sequence 0
  FileService files_;
};

}  // namespace kl::sim
