// Remote file access to a unit's flash drives, as its application and a running flash
// programmer answer it: open, create, read blocks, set properties, close, attributes with the
// four checksums, and the windowed reads and writes (function bytes 0x47 and 0x48) with
// cumulative acknowledgements, a "4" for a block that comes after a missing one, and the
// file faults of the scenario. One file is open at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sim/unit/frame.h"

namespace kl::sim {

class Unit;

class FileService {
 public:
  // `extendedWrites`: the 0x48 form of a write is understood; `extendedReads`: read data goes
  // back in the 0x48 form.
  FileService(Unit& unit, bool extendedWrites, bool extendedReads)
      : unit_(unit), extendedWrites_(extendedWrites), extendedReads_(extendedReads) {}

  static bool isFileRequest(std::span<const uint8_t> payload);
  static std::optional<size_t> requestLength(std::span<const uint8_t> payload);
  // Answers a file request addressed to this unit.
  void onFrame(const Frame& frame);

 private:
  void plainCall(const Frame& frame);
  void windowedRead(const Frame& frame);
  void windowedWrite(const Frame& frame, size_t header);
  void sendWindowed(const Frame& frame, const std::vector<uint8_t>& payload, bool acknowledgement);

  Unit& unit_;
  bool extendedWrites_;
  bool extendedReads_;
  bool open_ = false;
  bool writing_ = false;
  uint8_t drive_ = 0;
  uint16_t file_ = 0;
  uint32_t nextOffset_ = 0;       // where the next written block belongs
  uint32_t lastBlockOffset_ = 0;  // of the newest block written
};

}  // namespace kl::sim
