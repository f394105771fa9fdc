// Writing a software or boot-loader image into the unit's MCU flash through the running RAM
// flash programmer: erase, then record by record in plain, windowed or buffered packets,
// with the manufacturing fields put back once the block that held them has been rewritten.
#pragma once

#include <cstdint>
#include <functional>

#include "images/image_ref.h"

namespace kl {

struct TransferContext;
struct Unit;

// Puts the manufacturing fields back into flash; true on success. The step keeps its outcome
// itself: the image write goes on whatever it returns.
using RestoreStep = std::function<bool(TransferContext&, Unit&)>;

// What an image replaces. Until a boot loader's last packet is in, the unit cannot start: its
// packets are tried far longer before the write is given up (within a bound in time).
enum class FlashTarget : uint8_t { Software, BootLoader };

// True when every record was written and acknowledged. A given restore step is armed by the
// first packet that starts the flash block holding the fields and called once, before the
// first record beyond the fields (or at the end, when no such record follows, or when the
// write fails after arming it).
bool WriteMcuFlash(TransferContext& s, Unit& unit, ImageRef image, RestoreStep restore = {},
                   FlashTarget target = FlashTarget::Software);

}  // namespace kl
