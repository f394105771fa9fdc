// Constructors of the posix backends that live in their own files.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace kl {

// The registry value store: a key=value file under ${XDG_CONFIG_HOME:-~/.config}/kestrelink/.
std::unique_ptr<Registry> MakePosixRegistry(Process& process, Environment& environment);
// COM numbers mapped to devices (KESTRELINK_PORTMAP, then the default table).
std::unique_ptr<SerialPorts> MakePosixSerialPorts(Process& process, Environment& environment);
// The code a failed open of a serial device reports for errno `error`.
int SerialOpenError(int error);

}  // namespace kl
