// Constructors of the win32 backends that live in their own files.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace kl {

// The registry value store: HKEY_CURRENT_USER.
std::unique_ptr<Registry> MakeWin32Registry();
// COM ports opened as \\.\COMn with overlapped I/O.
std::unique_ptr<SerialPorts> MakeWin32SerialPorts(Process& process);

}  // namespace kl
