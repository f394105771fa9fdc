// What kestrelink-sim writes out for checks from outside: a unit's MCU flash image (its banks
// in address order, back to back) or one file of its flash drives.
#pragma once

#include <string>

#include "sim/scenario/installation.h"

namespace kl::sim {

// Each returns a line for the log: what was written, or why nothing was.
std::string dumpFlash(Installation& installation, const std::string& unit, const std::string& path);
// `driveFile` is DRIVE:NUMBER, numbers decimal or hexadecimal after 0x or $.
std::string dumpDriveFile(Installation& installation, const std::string& unit, const std::string& driveFile,
                          const std::string& path);

}  // namespace kl::sim
