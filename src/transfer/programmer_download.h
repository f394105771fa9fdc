// Downloading a RAM flash programmer through the unit's boot loader, starting it, and talking
// to it at the programming speed; restarting it after a flash write.
#pragma once

#include <cstdint>
#include <string_view>

#include "images/image_ref.h"

namespace kl {

struct TransferContext;
struct Unit;

// With the unit in its boot loader: writes `image` into its RAM (plain, overlapped or
// buffered), verifies it with -v, starts it and reconnects at the programming speed. True
// when the programmer runs and answers; `displayName` goes into the "Downloading " line.
// An empty image, a record larger than the unit's buffer and a failed speed change end the
// run.
bool DownloadProgrammer(TransferContext& s, Unit& unit, ImageRef image, std::string_view displayName);

// Takes over a flash programmer found running (an earlier run's), at the speed it was found
// at, and brings it to the programming speed as a download would. True when it answers.
bool TakeOverProgrammer(TransferContext& s, Unit& unit);

// Restarts the running programmer and brings it back to the programming speed.
bool ResetProgrammer(TransferContext& s, Unit& unit);

}  // namespace kl
