// The files of a unit's flash drive by its card: language, image, font and fieldbus
// description files, each rewritten when it differs from the carried one; card 653 keeps its
// image and fonts in one resource file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "images/catalogue_tables.h"

namespace kl {

struct Session;
struct Unit;
struct UnitImages;

// The resource file is built in a buffer of this size.
inline constexpr size_t kResourceFileCapacity = 4194305;

// A unit's update failed: with `endsRun` the run ends with `message`; otherwise the message is
// shown and false returned, so that only this unit's update ends.
bool TransferFailed(Session& s, bool endsRun, std::string_view message);

struct CardFilesOutcome {
  bool wrote = false;   // a file was written
  bool failed = false;  // a file could not be written (only when a failure does not end the run)
};

// Brings every file of the unit's card up to date. With update files they go to the unit's
// update drive, to be applied at its restart.
CardFilesOutcome UpdateCardFiles(Session& s, Unit& unit, UnitImages& images, bool useUpdateFiles,
                                 bool failureEndsRun = true);

// The resource file as the unit stores it: per file its number (16 bits), size (32 bits),
// bytes and CRC (low byte first), two zero bytes after the last record when they fit, every
// byte complemented. `announce` is called before each record is added; nothing when a record
// does not fit into `capacity` bytes.
std::optional<std::vector<uint8_t>> BuildResourceFile(std::span<const catalogue::DriveFileRow> rows, size_t capacity,
                                                      const std::function<void(const catalogue::DriveFileRow&)>& announce);

}  // namespace kl
